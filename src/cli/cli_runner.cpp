#include "cli/cli_runner.h"

#include <chrono>
#include <filesystem>
#include <istream>
#include <ostream>
#include <thread>
#include <vector>

#include "cli/boot_monitor_wait.h"
#include "cli/device_wait.h"
#include "cli/dry_run.h"
#include "cli/json_text.h"
#include "cli/output_folder.h"
#include "cli/overwrite_prompt.h"
#include "cli/run_display.h"
#include "cli/run_outputs.h"
#include "cli/run_record.h"
#include "cli/run_summary.h"
#include "core/files.h"
#include "core/sha256.h"
#include "core/trace.h"
#include "options/options.h"
#include "package/package_archive.h"
#include "package/package_configuration.h"
#include "package/package_loader.h"
#include "package/prompt.h"
#include "package/qn_error.h"
#include "package/text_encoding.h"
#include "ports/devices/serial_devices.h"
#include "ports/kind/device_name.h"
#include "ports/kind/port_kind.h"
#include "upload/operation_texts.h"
#include "upload/qn_upload_process.h"
#include "upload/report_text.h"

namespace pelvane::cli {

using core::Trim;

std::optional<std::string> ReadAnswer(CliStreams& io) {
  std::optional<std::string> line;
  if (io.answers != nullptr) {
    line = io.answers->ReadLine();
  } else if (std::string text; std::getline(io.in, text)) {
    line = std::move(text);
  }
  // The question's line ends here also when no answer came.
  if (!line) io.err << "\n";
  return line;
}

std::string OneLineMessage(const std::string& message) {
  std::string line;
  int parts = 0;
  for (std::size_t at = 0; at <= message.size();) {
    std::size_t end = message.find("\r\n", at);
    if (end == std::string::npos) end = message.size();
    if (end > at) {
      line += (parts == 0 ? "" : parts == 1 ? ": " : "; ") + message.substr(at, end - at);
      ++parts;
    }
    at = end + 2;
  }
  return line;
}

CliRunner::CliRunner(CliOptions options, CliStreams streams,
                     const core::ClassRegistry<app::IQX_App>& apps)
    : options_(std::move(options)),
      io_(streams),
      loop_(core::CurrentMessageLoop()),
      prompt_(std::make_unique<OverwritePrompt>(options_, io_)),
      process_(std::make_unique<upload::QN_UploadProcess>(apps, prompt_.get())),
      record_(std::make_unique<RunRecord>()),
      display_(std::make_unique<RunDisplay>(options_, io_, *record_)) {
  report_.path = options_.report;
  trace_.path = options_.trace;
}

CliRunner::~CliRunner() {
  // A cancellation posted after the upload ended still refers to this object.
  loop_.ProcessEvents(std::chrono::milliseconds(0));
}

void CliRunner::RequestCancel() {
  cancelRequested_ = true;
  if (io_.answers != nullptr) io_.answers->Interrupt();
  // The controller belongs to the thread that runs it: the cancellation is
  // handed over through that thread's loop, which also wakes its wait.
  loop_.Post([this] {
    if (uploadStarted_) process_->Cancel();
  });
}

void CliRunner::UsageError(const std::string& text) {
  usage_ = text;
  io_.err << "pelvane-cli: " << ShownText(text) << "\n";
}

void CliRunner::Hint(const std::string& text) {
  io_.err << "hint: " << ShownText(text) << "\n";
}

int CliRunner::Run() {
  if (const std::optional<int> ended = OpenPackage()) return *ended;
  if (options_.summary) return PrintSummary();
  if (const std::optional<int> ended = PrepareUpload()) return *ended;
  return Upload();
}

std::optional<int> CliRunner::OpenPackage() {
  record_->start = IsoTime(std::chrono::system_clock::now());
  record_->package = options_.package;
  std::error_code ec;
  if (!std::filesystem::is_regular_file(core::PathFromUtf8(options_.package), ec)) {
    const std::string message = "package file not found: " + options_.package;
    UsageError(message);
    return Finish(kExitPackage, package::kErrFilenameInvalid, message,
                  upload::FailureCause::PackageInvalid);
  }
  if (!PrepareOutputs())
    return Finish(kExitUsage, package::kErrOk, usage_, upload::FailureCause::ValidationFailed);
  if (options_.waitBoot && !io_.inIsTerminal) {
    UsageError("--wait-boot asks on a terminal, and standard input is none");
    return Finish(kExitUsage, package::kErrOk, usage_, upload::FailureCause::ValidationFailed);
  }
  record_->packageSha256 = core::FileSha256(options_.package);
  record_->operation = std::string(upload::OperationName(options_.operation));
  record_->comment = package::PackageArchive(options_.package).Comment();
  process_->PackagePath(options_.package);
  process_->Filename(package::kConfigurationMember);
  if (process_->GetLastError() != package::kErrOk || !process_->Loaded()) {
    const std::string message = "Error Occurred reading configuration file: " +
                                OneLineMessage(process_->GetLastErrorString());
    UsageError(message);
    return Finish(kExitPackage, process_->GetLastError(), message,
                  upload::FailureCause::PackageInvalid);
  }
  if (!ChoosePort() || !ChooseLanguage())
    return Finish(kExitUsage, package::kErrOk, usage_, upload::FailureCause::ValidationFailed);
  options_.outputDir =
      ExpandFolder(options_.outputDir, process_->ComPort(), std::chrono::system_clock::now());
  if (!SettleOutputs())
    return Finish(kExitUsage, package::kErrOk, usage_, upload::FailureCause::ValidationFailed);
  if (!process_->Loaded()) {
    const std::string message =
        "Error in language selection: " + OneLineMessage(process_->GetLastErrorString());
    UsageError(message);
    return Finish(kExitPackage, process_->GetLastError(), message,
                  upload::FailureCause::PackageInvalid);
  }
  record_->port = process_->ComPort();
  record_->language = process_->Configuration().firmwareLanguage;
  record_->outputFolder = core::Utf8FromPath(
      options_.outputDir.empty()
          ? std::filesystem::current_path(ec)
          : std::filesystem::absolute(core::PathFromUtf8(options_.outputDir), ec));
  return std::nullopt;
}

int CliRunner::PrintSummary() {
  const std::vector<std::string> pieces =
      package::ConfigurationSummary(process_->Configuration(), /*advanced=*/true,
                                    /*nameDevice=*/true);
  if (options_.json) {
    Json summary{{"package", Text(options_.package)},
                 {"comment", Text(record_->comment)},
                 {"port", Text(record_->port)},
                 {"firmwareLanguage", Text(record_->language)},
                 {"summary", Json::array()}};
    for (const std::string& piece : pieces) summary["summary"].push_back(Text(piece));
    io_.out << JsonLine(summary);
  } else {
    for (const std::string& piece : pieces) io_.out << ShownText(piece) << "\n";
  }
  return Finish(kExitOk, package::kErrOk, "OK", upload::FailureCause::None);
}

std::optional<int> CliRunner::PrepareUpload() {
  process_->Operation(options_.operation);
  process_->ReadRanges(options_.reads);
  process_->TransferOnly(options_.transferOnly);
  process_->Verify(options_.verify);
  process_->SetIdleTimeout(options_.idleTimeout);
  process_->Resend(options_.resend);
  if (options_.dryRun) {
    const DryRunOutcome outcome = DryRun(options_, io_, *process_, *prompt_);
    return Finish(outcome.exitCode, outcome.code, outcome.message, outcome.cause);
  }
  if (!options_.outputDir.empty()) {
    if (const std::string error = CreateFolder(options_.outputDir); !error.empty()) {
      UsageError(error);
      return Finish(kExitValidation, package::kErrOk, error,
                    upload::FailureCause::ValidationFailed);
    }
  }
  process_->OutputFolder(options_.outputDir);

  WaitForDevice(ports::DeviceOfPort(process_->ComPort()), options_.waitDevice, cancelRequested_,
                loop_, io_);
  // Ended input at the question ends the run as a cancel does.
  if (options_.waitBoot && !cancelRequested_ &&
      !AskForBootMonitor(
          package::ConfigurationSummary(process_->Configuration(), false, true).front(), io_))
    cancelRequested_ = true;
  // A signal that came while the package loaded is handled here at the latest.
  loop_.ProcessEvents(std::chrono::milliseconds(0));
  if (cancelRequested_)
    return Finish(kExitCancelled, package::kErrCancelled,
                  package::ErrorResourceText(package::kErrCancelled),
                  upload::FailureCause::Cancelled);
  return std::nullopt;
}

int CliRunner::Upload() {
  core::Cookie cookie = 0;
  process_->Advise(display_.get(), &cookie);
  uploadStarted_ = true;
  const bool ok = process_->Upload();
  uploadStarted_ = false;
  process_->Unadvise(cookie);
  display_->ClearBar();
  statistics_ = process_->Statistics();

  const std::int32_t code = process_->GetLastError();
  const std::string message = OneLineMessage(process_->GetLastErrorString());
  // A signal after the run succeeded comes too late to cancel anything.
  if (cancelRequested_ && !ok) {
    io_.err << "pelvane-cli: upload cancelled\n";
    Hint(process_->Hint(upload::FailureCause::Cancelled));
    return Finish(kExitCancelled, code, message, upload::FailureCause::Cancelled);
  }
  ShowOutcome(ok);
  if (ok) {
    if (!options_.json && !options_.quiet) PrintSuccess();
    return Finish(kExitOk, code, message, upload::FailureCause::None);
  }
  // An instrument that does not hold the package is the verification's
  // answer, which ShowOutcome gave; anything else failed the run.
  if (process_->Cause() != upload::FailureCause::VerifyMismatch ||
      options_.operation != upload::RunOperation::VerifyOnly) {
    io_.err << (options_.transferOnly ? "The Transfer Program Upload process failed."
                                      : upload::TextsOf(options_.operation).failed)
            << "\n"
            << ShownText(message) << "\n";
    PrintHint();
  }
  return Finish(code == package::kErrValidation ? kExitValidation : kExitUploadFailed, code,
                message, process_->Cause());
}

void CliRunner::PrintSuccess() {
  if (options_.transferOnly) {
    io_.out << "The Transfer Program has been uploaded successfully to your instrument.\n";
  } else if (options_.operation == upload::RunOperation::Update) {
    io_.out << "The Firmware has been uploaded successfully to your instrument.\n\n"
            << (process_->RestartInstrument()
                    ? "Your instrument has been restarted please run the calibration routines."
                    : "Please restart your instrument and run the calibration routines.")
            << "\n";
  }
  io_.out << SummaryLine(options_, *statistics_, record_->memories.size()) << "\n";
}

void CliRunner::ShowOutcome(bool ok) {
  const std::vector<std::string> lines = process_->OutcomeLines();
  record_->findings = lines;
  if (options_.json) {
    if (options_.operation == upload::RunOperation::Identify && ok) {
      Json memories = Json::array();
      for (const upload::MemoryCodes& m : record_->memories)
        memories.push_back({{"startAddress", upload::HexText(m.startAddress)},
                            {"manufacturer", upload::HexText(m.manufacturer)},
                            {"device", upload::HexText(m.device)}});
      // The lines after one per memory name the codes that differ from an earlier run's.
      Json differences = Json::array();
      for (std::size_t i = record_->memories.size(); i < lines.size(); ++i)
        differences.push_back(Text(lines[i]));
      io_.out << JsonLine(
          {{"event", "memories"}, {"memories", memories}, {"differences", differences}});
    } else if (options_.operation == upload::RunOperation::VerifyOnly && !lines.empty()) {
      Json programs = Json::array();
      for (const upload::VerifyResult& r : record_->verified) {
        Json entry{{"file", Text(r.filename)}, {"ok", r.ok}};
        if (r.mismatchAddress >= 0) entry["address"] = upload::HexText(r.mismatchAddress);
        programs.push_back(entry);
      }
      io_.out << JsonLine({{"event", "verify"}, {"holds", ok}, {"programs", programs}});
    }
    return;
  }
  // What was found is the answer the user asked for, also with --quiet.
  for (const std::string& line : lines) io_.out << line << "\n";
}

// The report is written whatever the outcome, and the trace from the start,
// so both are checked before anything is written or sent.
bool CliRunner::PrepareOutputs() {
  if (const std::string refused = CheckRunOutputs(options_.package, {&report_, &trace_});
      !refused.empty()) {
    UsageError(refused);
    // Nothing is written where the user's file or the package is.
    report_.path.clear();
    trace_.path.clear();
    return false;
  }
  if (trace_.path.empty()) return true;
  // Nothing reaches the trace's name before its end, so it starts before the
  // questions about what it may replace.
  std::string error;
  if (!core::trace::Start(trace_.path, &error)) {
    UsageError(error);
    trace_.path.clear();
    return false;
  }
  std::string line = pelvane::options::VersionLine("pelvane-cli");
  line.pop_back();
  for (const std::string& arg : options_.arguments) line += " " + arg;
  core::trace::Note("run", line);
  return true;
}

bool CliRunner::SettleOutputs() {
  std::vector<std::string> readBacks;
  for (package::QN_Download download : process_->Configuration().downloads) {
    download.OutputFolder(options_.outputDir);
    readBacks.push_back(download.OutputPath());
  }
  const std::string refused = SettleRunOutputs({&report_, &trace_}, readBacks, *prompt_);
  if (refused.empty()) return true;
  UsageError(refused);
  report_.path.clear();
  core::trace::Abandon();
  trace_.path.clear();
  return false;
}

bool CliRunner::ChoosePort() {
  if (options_.port.empty()) return true;
  const std::string wanted = ports::CanonicalPortName(Trim(options_.port));
  const auto& packagePorts = process_->Configuration().ports;
  const bool listed =
      std::find(packagePorts.begin(), packagePorts.end(), wanted) != packagePorts.end();
  // A device path names its device by itself (on Windows COM7 too), and there
  // is one GPIB bus.
  const ports::PortKind kind = ports::KindOfPort(wanted);
  if (!listed && kind != ports::PortKind::DevicePath && kind != ports::PortKind::Gpib) {
    std::string known;
    for (const auto& p : packagePorts) known += (known.empty() ? "" : ", ") + p;
    UsageError("--port " + options_.port + " is neither a port of the package (" + known +
               ") nor a device path");
    return false;
  }
  process_->ComPort(wanted);
  return true;
}

bool CliRunner::ChooseLanguage() {
  if (options_.language.empty()) return true;
  // Any case, also of the package's code page ("français" is FRANÇAIS,
  // whether the package wrote it in Windows-1252 or in UTF-8).
  const std::string wanted = package::FoldedName(Trim(options_.language));
  const auto& languages = process_->Configuration().firmwareLanguages;
  const auto match = std::find_if(languages.begin(), languages.end(), [&](const std::string& l) {
    return package::FoldedName(l) == wanted;
  });
  if (match == languages.end()) {
    std::string known;
    for (const auto& l : languages) known += (known.empty() ? "" : ", ") + l;
    UsageError("--language " + options_.language + " is not a firmware language of the package (" +
               known + ")");
    return false;
  }
  process_->FirmwareLanguage(*match);
  return true;
}

void CliRunner::PrintHint() {
  // A download file kept because nobody could agree to replace it: what to
  // change is the runner's own question, not the package.
  if (process_->Cause() == upload::FailureCause::ValidationFailed && prompt_->Refused()) {
    Hint(
        "a download file exists already: run on a terminal to be asked, or give --yes to "
        "overwrite it");
    return;
  }
  std::string hint = process_->Hint();
  // Without --port the run used the package's port, which the technician
  // never named: say which device that is and how to find the right one.
  const std::string& port = process_->ComPort();
  if (options_.port.empty() && process_->Cause() == upload::FailureCause::BootMonitorSilent &&
      ports::IsSerialPort(port)) {
    const std::string device = ports::DeviceBehindName(port);
    hint += "; the run used the package's port " + port +
            (device.empty() ? "" : " (" + device + ")") +
            ": pelvane-cli --list-ports shows this computer's serial devices, --port names one";
  }
  if (!hint.empty()) Hint(hint);
}

int CliRunner::InternalFault(const std::string& what) {
  // Called from a handler: nothing may escape from here.
  try {
    io_.err << "pelvane-cli: the run stopped on an internal fault: " << what << "\n";
    Hint(upload::CauseHint(upload::FailureCause::Internal, {}));
    return Finish(kExitUploadFailed, package::kErrOk, what, upload::FailureCause::Internal);
  } catch (...) {
    return kExitUploadFailed;
  }
}

int CliRunner::Finish(int exitCode, std::int32_t code, const std::string& message,
                      upload::FailureCause cause) {
  std::lock_guard lock(record_->lock);
  return WriteEnd(exitCode, code, message, cause);
}

int CliRunner::ForcedEnd() {
  // Tried every 10 ms for a second rather than a timed lock: GCC 12's timed
  // lock (pthread_mutex_clocklock) is unseen by ThreadSanitizer, which then
  // takes the unlock for a fault.
  std::unique_lock lock(record_->lock, std::defer_lock);
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (!lock.try_lock() && std::chrono::steady_clock::now() < giveUp)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (lock.owns_lock() && ended_) return endCode_;
  io_.err << "\npelvane-cli: stopped at once after a second stop request\n";
  upload::HintContext context;
  context.stage = process_->Stage();
  Hint(upload::CauseHint(upload::FailureCause::Cancelled, context));
  if (!lock.owns_lock()) {
    // The run holds its record: nothing is written from a record half made,
    // but no earlier run's report may pass for this one's.
    if (!report_.path.empty() && report_.overwrite == core::Overwrite::kAgreed)
      core::RemoveFile(report_.path);
    core::trace::Stop(trace_.overwrite);
    return kExitCancelled;
  }
  return WriteEnd(kExitCancelled, package::kErrCancelled,
                  package::ErrorResourceText(package::kErrCancelled),
                  upload::FailureCause::Cancelled);
}

int CliRunner::WriteEnd(int exitCode, std::int32_t code, const std::string& message,
                        upload::FailureCause cause) {
  const bool ok = cause == upload::FailureCause::None;
  // Standard output that could not be written (a closed pipe, a full disk)
  // never stopped the run; a success says so in its exit status.
  const bool outputLost = !io_.out.flush();
  if (outputLost) {
    io_.err << "pelvane-cli: standard output could not be written; the run went on to its end"
            << (report_.path.empty() ? "" : " and the report has it all") << "\n";
    if (exitCode == kExitOk) exitCode = kExitOutputLost;
  }
  std::string traceError;
  if (core::trace::On()) {
    core::trace::Note("outcome",
                      "exit " + std::to_string(exitCode) + ", code " + std::to_string(code) + ", " +
                          message + (ok ? "" : ", cause " + std::string(upload::CauseName(cause))));
    // A trace that a full disk cut short is lost output, not a silent gap.
    const core::WholeWrite trace = core::trace::Stop(trace_.overwrite);
    if (!trace.ok) {
      traceError = trace.error;
      io_.err << "pelvane-cli: could not write the trace " << ShownText(trace.error) << "\n";
      if (exitCode == kExitOk) exitCode = kExitOutputLost;
    } else if (trace.written != trace_.path) {
      io_.err << "pelvane-cli: a file named " << ShownText(trace_.path)
              << " appeared during the run and is kept; the trace is in "
              << ShownText(trace.written) << "\n";
    }
  }
  // A summary stands for the result; a summary that never came does not.
  if (options_.json && (!options_.summary || !ok)) {
    Json result{{"event", "result"}};
    AddOutcome(result, ok, code, message, cause);
    if (statistics_) AddStatistics(result, *statistics_);
    io_.out << JsonLine(result);
    io_.out.flush();
  }
  if (!report_.path.empty()) {
    record_->end = IsoTime(std::chrono::system_clock::now());
    record_->ok = ok;
    record_->code = code;
    record_->message = message;
    record_->cause = cause;
    record_->exitCode = exitCode;
    record_->outputLost = outputLost;
    record_->traceError = traceError;
    record_->statistics = statistics_;
    const std::string json = record_->ToJson();
    const core::WholeWrite written = core::WriteWholeFile(
        report_.path, {reinterpret_cast<const std::uint8_t*>(json.data()), json.size()},
        report_.overwrite);
    if (!written.ok) {
      io_.err << "pelvane-cli: could not write the report " << ShownText(written.error) << "\n";
      // An earlier run's report must not pass for this one's.
      if (report_.overwrite == core::Overwrite::kAgreed && core::RemoveFile(report_.path))
        io_.err << "pelvane-cli: the earlier report " << ShownText(report_.path)
                << " was removed\n";
      if (exitCode == kExitOk) exitCode = kExitOutputLost;
    } else if (written.written != report_.path) {
      io_.err << "pelvane-cli: a file named " << ShownText(report_.path)
              << " appeared during the run and is kept; the report is in "
              << ShownText(written.written) << "\n";
      report_.path = written.written;
    }
    // The name is this run's now, should the end be written again.
    if (written.ok) report_.overwrite = core::Overwrite::kAgreed;
  }
  ended_ = true;
  endCode_ = exitCode;
  return exitCode;
}

}  // namespace pelvane::cli
