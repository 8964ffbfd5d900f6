#include "cli/dry_run.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <ostream>
#include <vector>

#include "cli/json_text.h"
#include "cli/overwrite_prompt.h"
#include "core/files.h"
#include "core/system_error.h"
#include "package/qn_error.h"
#include "ports/devices/serial_devices.h"
#include "ports/kind/device_name.h"
#include "ports/kind/port_kind.h"
#include "upload/qn_upload_process.h"

namespace pelvane::cli {

namespace {

// What the dry run found, and whether the run could start with it.
struct Findings {
  std::vector<std::string> notes;
  std::string problem;  // the first reason the run could not start
  DryRunOutcome outcome;

  void Fail(int exitCode, std::int32_t code, const std::string& text, upload::FailureCause cause) {
    if (!problem.empty()) return;
    problem = text;
    outcome = {exitCode, code, text, cause};
  }
};

// The port's device without opening it: there, and open to this user.
void CheckPort(const CliOptions& options, const std::string& port, Findings& f) {
  const ports::PortKindInfo& info = ports::InfoOfPort(port);
  if (info.gpibBus) {
    f.notes.push_back("Port " + port + ": the GPIB driver is loaded only when the run starts");
    return;
  }
  const std::string device = ports::DeviceOfPort(port);
  if (device.empty()) {
    f.notes.push_back("Port " + port +
                      ": not a port of this system; the run uses the default line");
    return;
  }
  if (!ports::DevicePresent(device)) {
    if (options.waitDevice.count() > 0) {
      f.notes.push_back("Port " + port + ": " + device + " is not there yet; the run waits for it");
      return;
    }
    f.Fail(kExitUploadFailed, package::kErrCommunication,
           "the port's device " + device + " is not there", upload::FailureCause::PortUnavailable);
    return;
  }
  if (const int refused = ports::SystemDeviceAccess(device); refused != 0) {
    f.Fail(kExitUploadFailed, package::kErrCommunication,
           "the port's device " + device +
               " cannot be opened: " + core::SystemErrorText(static_cast<std::uint32_t>(refused)),
           upload::FailureCause::PortUnavailable);
    return;
  }
  f.notes.push_back("Port " + port + ": " + device + " is there and may be opened");
}

// The output folder, or the nearest existing one above it when the run
// would create it; empty when none can be created.
std::string FolderToCheck(const std::string& outputDir, Findings& f) {
  if (outputDir.empty()) return outputDir;
  std::error_code ec;
  std::filesystem::path folder = std::filesystem::absolute(core::PathFromUtf8(outputDir), ec);
  if (std::filesystem::is_directory(folder, ec)) {
    f.notes.push_back("Output folder " + outputDir);
    return outputDir;
  }
  while (folder.has_relative_path() && !std::filesystem::exists(folder, ec))
    folder = folder.parent_path();
  const std::string existing = core::Utf8FromPath(folder);
  std::string reason;
  if (!std::filesystem::is_directory(folder, ec) || !core::FolderWritable(existing, &reason)) {
    f.Fail(kExitUsage, package::kErrOk,
           "the output folder " + outputDir + " cannot be created in " + existing +
               (reason.empty() ? "" : ": " + reason),
           upload::FailureCause::ValidationFailed);
    return {};
  }
  f.notes.push_back("Output folder " + outputDir + " (the run creates it)");
  return existing;
}

void PrintText(std::ostream& out, const upload::RunEstimate& estimate, const Findings& f) {
  out << "Dry run: the port stays closed and nothing is sent.\n";
  for (const std::string& note : f.notes) out << note << "\n";
  if (!estimate.steps.empty()) {
    out << "Plan at " << (estimate.baud > 0 ? std::to_string(estimate.baud) + " baud" : "GPIB")
        << ":\n  commands  to instr.  from instr.   seconds  step\n";
    char row[96];
    for (const upload::EstimatedStep& step : estimate.steps) {
      std::snprintf(row, sizeof row, "  %8lld  %9lld  %11lld  %8.3f  ",
                    static_cast<long long>(step.commands),
                    static_cast<long long>(step.bytes.toInstrument),
                    static_cast<long long>(step.bytes.fromInstrument), step.seconds);
      out << row << step.what << "\n";
    }
    const upload::LineBytes bytes = estimate.Bytes();
    std::snprintf(row, sizeof row, "Estimated time: %.1f s", estimate.Seconds());
    out << row << " (" << bytes.toInstrument << " bytes to the instrument, " << bytes.fromInstrument
        << " from it)" << (estimate.erases ? ", and the flash memory's own erase time on top" : "")
        << "\n";
  }
  if (f.problem.empty())
    out << "The run could start.\n";
  else
    out << "The run could not start: " << f.problem << "\n";
}

void PrintJson(std::ostream& out, const CliOptions& options, const std::string& port,
               const upload::RunEstimate& estimate, const Findings& f) {
  Json steps = Json::array();
  for (const upload::EstimatedStep& step : estimate.steps)
    steps.push_back({{"step", Text(step.what)},
                     {"commands", step.commands},
                     {"toInstrument", step.bytes.toInstrument},
                     {"fromInstrument", step.bytes.fromInstrument},
                     {"seconds", step.seconds}});
  const upload::LineBytes bytes = estimate.Bytes();
  Json notes = Json::array();
  for (const std::string& note : f.notes) notes.push_back(Text(note));
  out << JsonLine({{"event", "plan"},
                   {"operation", upload::OperationName(options.operation)},
                   {"port", Text(port)},
                   {"baud", estimate.baud},
                   {"steps", steps},
                   {"toInstrument", bytes.toInstrument},
                   {"fromInstrument", bytes.fromInstrument},
                   {"seconds", estimate.Seconds()},
                   {"erasesOnTop", estimate.erases},
                   {"notes", notes}});
}

}  // namespace

DryRunOutcome DryRun(const CliOptions& options, CliStreams& io, upload::QN_UploadProcess& process,
                     const OverwritePrompt& prompt) {
  Findings f;
  const std::string port = process.ComPort();
  CheckPort(options, port, f);
  // A folder the run would create does not exist yet: the files are checked
  // where it would be made, which is also where a file could not be written.
  const std::string folder = FolderToCheck(options.outputDir, f);
  upload::RunEstimate estimate;
  if (f.problem.empty()) {
    process.OutputFolder(folder);
    if (!process.Check(&estimate)) {
      const bool package = process.Cause() == upload::FailureCause::PackageInvalid;
      f.Fail(package ? kExitPackage : kExitValidation, process.GetLastError(),
             OneLineMessage(process.GetLastErrorString()), process.Cause());
    }
    process.OutputFolder(options.outputDir);
  }
  for (const std::string& question : prompt.DryRunQuestions()) {
    // The question as the run asks it, on one line.
    std::string asked = question;
    std::replace(asked.begin(), asked.end(), '\n', ' ');
    f.notes.push_back("The run asks: " + asked);
    if (options.yes)
      f.notes.push_back("  and replaces the file (--yes)");
    else if (!io.inIsTerminal)
      f.Fail(kExitValidation, package::kErrFilenameInvalid,
             "a file exists that the run would keep without asking: give --yes or run it on a "
             "terminal",
             upload::FailureCause::ValidationFailed);
  }
  if (options.json)
    PrintJson(io.out, options, port, estimate, f);
  else
    PrintText(io.out, estimate, f);
  return f.outcome;
}

}  // namespace pelvane::cli
