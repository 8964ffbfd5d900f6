#include "cli/cli_runner.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

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
#include "upload/qn_upload_process.h"
#include "upload/report_text.h"

namespace pelvane::cli {

using upload::HexText;
using upload::ToUpper;
using upload::Trim;

namespace {

using Json = nlohmann::ordered_json;

// Texts from packages may be Windows-1252; JSON is UTF-8. A text that is
// still not valid is replaced character by character rather than stopping
// the output half-way.
std::string JsonLine(const Json& value, int indent = -1) {
  return value.dump(indent, ' ', false, Json::error_handler_t::replace) + "\n";
}

Json Text(const std::string& text) {
  return package::ToUtf8(text);
}

// The outcome of a run; a success has no cause.
void AddOutcome(Json& object, bool ok, std::int32_t code, const std::string& message,
                upload::FailureCause cause) {
  object["ok"] = ok;
  object["code"] = code;
  object["message"] = Text(message);
  if (cause != upload::FailureCause::None) object["cause"] = upload::CauseName(cause);
}

using core::FileSha256;

std::string IsoTime(std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  const auto ms = time_point_cast<milliseconds>(when);
  const auto day = floor<days>(ms);
  const year_month_day date(day);
  const hh_mm_ss time(ms - day);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()),
                static_cast<int>(time.subseconds().count()));
  return text;
}

}  // namespace

// Answers the controller's questions: on a terminal by asking, otherwise from
// the options (an existing download file is kept unless --yes).
class CliRunner::Prompt final : public package::QN_Prompt {
 public:
  Prompt(const CliOptions& options, CliStreams& io) : options_(options), io_(io) {}

  package::PromptAnswer Ask(const std::string& text, const std::string& caption,
                            package::PromptButtons buttons) override {
    if (buttons != package::PromptButtons::YesNo) {
      io_.err << caption << ": " << text << "\n";
      return package::PromptAnswer::Ok;
    }
    if (options_.yes) return package::PromptAnswer::Yes;
    if (io_.inIsTerminal) {
      io_.err << caption << ": " << text << " [y/N] " << std::flush;
      std::string answer = ToUpper(Trim(ReadAnswer()));
      if (answer == "Y" || answer == "YES") return package::PromptAnswer::Yes;
    } else {
      refused = true;
    }
    return package::PromptAnswer::No;
  }

  bool refused = false;

 private:
  // A line from the user; empty when a cancellation came first (Ctrl-C at
  // the question ends the run at once, not after Enter).
  std::string ReadAnswer() {
    std::string line;
    if (io_.answers == nullptr) {
      std::getline(io_.in, line);
      return line;
    }
    const std::optional<std::string> answer = io_.answers->ReadLine();
    if (!answer) io_.err << "\n";
    return answer.value_or("");
  }

  const CliOptions& options_;
  CliStreams& io_;
};

// What technicians keep per instrument.
class CliRunner::Record {
 public:
  struct Action {
    std::string time, text;
  };
  std::string package, packageSha256, comment, port, language, outputFolder, start, end;
  std::vector<Action> actions;
  std::vector<upload::MemoryCodes> memories;
  std::vector<upload::ProgramChecksum> programs;
  std::vector<upload::VerifyResult> verified;
  std::vector<std::pair<std::string, std::int64_t>> downloads;
  bool ok = false;
  std::int32_t code = 0;
  std::string message;
  upload::FailureCause cause = upload::FailureCause::None;
  int exitCode = 0;
  bool outputLost = false;

  std::string Json() const {
    cli::Json record;
    std::string tool = options::VersionLine("pelvane-cli");
    record["tool"] = tool.substr(0, tool.find('\n'));
    record["package"] = Text(package);
    record["packageSha256"] = packageSha256;
    record["comment"] = Text(comment);
    record["port"] = Text(port);
    record["firmwareLanguage"] = Text(language);
    record["outputFolder"] = Text(outputFolder);
    record["start"] = start;
    record["end"] = end;
    record["actions"] = cli::Json::array();
    for (const Action& action : actions)
      record["actions"].push_back({{"time", action.time}, {"text", Text(action.text)}});
    record["memories"] = cli::Json::array();
    for (const upload::MemoryCodes& memory : memories)
      record["memories"].push_back({{"startAddress", HexText(memory.startAddress)},
                                    {"manufacturer", HexText(memory.manufacturer)},
                                    {"device", HexText(memory.device)}});
    record["programs"] = cli::Json::array();
    for (const upload::ProgramChecksum& program : programs)
      record["programs"].push_back({{"file", Text(program.filename)},
                                    {"blocks", program.blockCount},
                                    {"hostChecksum", HexText(program.host)},
                                    {"targetChecksum", HexText(program.target)}});
    // With --verify: each program file read back and compared.
    record["verify"] = cli::Json::array();
    for (const upload::VerifyResult& result : verified) {
      cli::Json entry{{"file", Text(result.filename)}, {"ok", result.ok}};
      if (result.mismatchAddress >= 0) entry["address"] = HexText(result.mismatchAddress);
      record["verify"].push_back(entry);
    }
    // What the instrument kept only once, with a digest to prove the copy whole later.
    record["downloads"] = cli::Json::array();
    for (const auto& [file, bytes] : downloads)
      record["downloads"].push_back(
          {{"file", Text(file)}, {"bytes", bytes}, {"sha256", FileSha256(file)}});
    cli::Json outcome;
    AddOutcome(outcome, ok, code, message, cause);
    outcome["exitCode"] = exitCode;
    if (outputLost) outcome["outputLost"] = true;
    record["outcome"] = outcome;
    return JsonLine(record, 2);
  }
};

class CliRunner::Listener final : public upload::QN_UploadProcessEvents {
 public:
  Listener(const CliOptions& options, CliStreams& io, Record& record)
      : options_(options), io_(io), record_(record) {}

  void ActionUpdate(std::string& text) override {
    record_.actions.push_back({IsoTime(std::chrono::system_clock::now()), text});
    ClearBar();
    if (options_.json)
      io_.out << JsonLine({{"event", "action"}, {"text", Text(text)}});
    else
      io_.out << text << "\n";
    io_.out.flush();
  }

  void ProgressUpdate(std::string& text, std::int16_t& percent) override {
    if (options_.json) {
      io_.out << JsonLine({{"event", "progress"}, {"text", Text(text)}, {"percent", percent}});
      io_.out.flush();
      return;
    }
    if (!io_.errIsTerminal) return;
    const int shown = std::clamp<int>(percent, 0, 100);
    constexpr int kWidth = 30;
    const int filled = shown * kWidth / 100;
    io_.err << "\r\033[K[" << std::string(filled, '#') << std::string(kWidth - filled, ' ') << "] "
            << shown << "% " << text << std::flush;
    barShown_ = true;
  }

  void MemoryIdentified(const upload::MemoryCodes& codes) override {
    record_.memories.push_back(codes);
  }
  void ProgramReadBack(const upload::VerifyResult& result) override {
    record_.verified.push_back(result);
  }
  void ProgramVerified(const upload::ProgramChecksum& program) override {
    record_.programs.push_back(program);
  }
  void DownloadWritten(const std::string& filename, std::int64_t bytes) override {
    record_.downloads.emplace_back(filename, bytes);
  }

  void ClearBar() {
    if (!barShown_) return;
    io_.err << "\r\033[K" << std::flush;
    barShown_ = false;
  }

 private:
  const CliOptions& options_;
  CliStreams& io_;
  Record& record_;
  bool barShown_ = false;
};

CliRunner::CliRunner(CliOptions options, CliStreams streams,
                     const core::ClassRegistry<app::IQX_App>& apps)
    : options_(std::move(options)),
      io_(streams),
      loop_(core::CurrentMessageLoop()),
      prompt_(std::make_unique<Prompt>(options_, io_)),
      process_(std::make_unique<upload::QN_UploadProcess>(apps, prompt_.get())),
      record_(std::make_unique<Record>()),
      listener_(std::make_unique<Listener>(options_, io_, *record_)) {}

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
  io_.err << "pelvane-cli: " << text << "\n";
}

void CliRunner::Hint(const std::string& text) {
  io_.err << "hint: " << text << "\n";
}

int CliRunner::Run() {
  record_->start = IsoTime(std::chrono::system_clock::now());
  record_->package = options_.package;
  std::error_code ec;
  if (!std::filesystem::is_regular_file(core::PathFromUtf8(options_.package), ec)) {
    const std::string message = "package file not found: " + options_.package;
    UsageError(message);
    return Finish(kExitPackage, package::kErrFilenameInvalid, message,
                  upload::FailureCause::PackageInvalid);
  }
  if (!ReportWritable())
    return Finish(kExitUsage, package::kErrOk, "bad usage", upload::FailureCause::ValidationFailed);
  record_->packageSha256 = FileSha256(options_.package);
  record_->outputFolder = core::Utf8FromPath(
      options_.outputDir.empty()
          ? std::filesystem::current_path(ec)
          : std::filesystem::absolute(core::PathFromUtf8(options_.outputDir), ec));
  record_->comment = package::PackageArchive(options_.package).Comment();
  process_->PackagePath(options_.package);
  process_->Filename(package::kConfigurationMember);
  if (process_->GetLastError() != package::kErrOk || !process_->Loaded()) {
    const std::string message =
        "Error Occurred reading configuration file: " + process_->GetLastErrorString();
    UsageError(message);
    return Finish(kExitPackage, process_->GetLastError(), message,
                  upload::FailureCause::PackageInvalid);
  }
  if (!ChoosePort() || !ChooseLanguage())
    return Finish(kExitUsage, package::kErrOk, "bad usage", upload::FailureCause::ValidationFailed);
  if (!process_->Loaded()) {
    const std::string message = "Error in language selection: " + process_->GetLastErrorString();
    UsageError(message);
    return Finish(kExitPackage, process_->GetLastError(), message,
                  upload::FailureCause::PackageInvalid);
  }
  record_->port = process_->ComPort();
  record_->language = process_->Configuration().firmwareLanguage;

  if (options_.summary) {
    const std::vector<std::string> pieces =
        package::ConfigurationSummary(process_->Configuration(), /*advanced=*/true);
    if (options_.json) {
      Json summary{{"package", Text(options_.package)},
                   {"comment", Text(record_->comment)},
                   {"port", Text(record_->port)},
                   {"firmwareLanguage", Text(record_->language)},
                   {"summary", Json::array()}};
      for (const std::string& piece : pieces) summary["summary"].push_back(Text(piece));
      io_.out << JsonLine(summary);
    } else {
      for (const std::string& piece : pieces) io_.out << piece << "\n";
    }
    return Finish(kExitOk, package::kErrOk, "OK", upload::FailureCause::None);
  }

  WaitForDevice();
  process_->TransferOnly(options_.transferOnly);
  process_->Verify(options_.verify);
  process_->OutputFolder(options_.outputDir);
  process_->SetIdleTimeout(options_.idleTimeout);
  // A signal that came while the package loaded is handled here at the latest.
  loop_.ProcessEvents(std::chrono::milliseconds(0));
  if (cancelRequested_)
    return Finish(kExitCancelled, package::kErrCancelled,
                  package::ErrorResourceText(package::kErrCancelled),
                  upload::FailureCause::Cancelled);

  core::Cookie cookie = 0;
  process_->Advise(listener_.get(), &cookie);
  uploadStarted_ = true;
  const bool ok = process_->Upload();
  uploadStarted_ = false;
  process_->Unadvise(cookie);
  listener_->ClearBar();

  const std::int32_t code = process_->GetLastError();
  const std::string message = process_->GetLastErrorString();
  // A signal after the run succeeded comes too late to cancel anything.
  if (cancelRequested_ && !ok) {
    io_.err << "pelvane-cli: upload cancelled\n";
    Hint(upload::CauseHint(upload::FailureCause::Cancelled, {}));
    return Finish(kExitCancelled, code, message, upload::FailureCause::Cancelled);
  }
  if (ok) {
    if (!options_.json) {
      if (options_.transferOnly) {
        io_.out << "The Transfer Program has been uploaded successfully to your instrument.\n";
      } else {
        io_.out << "The Firmware has been uploaded successfully to your instrument.\n\n"
                << (process_->RestartInstrument()
                        ? "Your instrument has been restarted please run the calibration routines."
                        : "Please restart your instrument and run the calibration routines.")
                << "\n";
      }
    }
    return Finish(kExitOk, code, message, upload::FailureCause::None);
  }
  io_.err << (options_.transferOnly ? "The Transfer Program Upload process failed."
                                    : "The Firmware Upload process failed.")
          << "\n"
          << message << "\n";
  PrintHint();
  return Finish(code == package::kErrValidation ? kExitValidation : kExitUploadFailed, code,
                message, process_->Cause());
}

// The report is written whatever the outcome, so a path that cannot take it
// is refused before anything is sent, and so is the package itself, which the
// report would replace.
bool CliRunner::ReportWritable() {
  if (options_.report.empty()) return true;
  if (core::SameFile(options_.report, options_.package)) {
    UsageError("--report " + options_.report + " names the package itself");
    options_.report.clear();
    return false;
  }
  // Nothing is written yet: the report is written whole at the end, beside
  // the name and then renamed onto it, so its folder must take a new file.
  std::string reason;
  const core::FileKind kind = core::KindOf(options_.report);
  if (kind == core::FileKind::kDirectory || kind == core::FileKind::kOther)
    reason = "not a regular file";
  else
    core::FolderWritable(core::Utf8FromPath(core::PathFromUtf8(options_.report).parent_path()),
                         &reason);
  if (!reason.empty()) {
    UsageError("cannot write the report " + options_.report + ": " + reason);
    options_.report.clear();
    return false;
  }
  return true;
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

// An adapter plugged in after the command was typed: the run starts when its
// device is there and free, or when the time is up (the port then explains
// what is wrong). A signal ends the wait like the run.
void CliRunner::WaitForDevice() {
  const std::string device = ports::DeviceOfPort(process_->ComPort());
  if (options_.waitDevice.count() == 0 || device.empty()) return;
  const auto end = std::chrono::steady_clock::now() + options_.waitDevice;
  long shown = -1;
  while (!cancelRequested_ && !ports::DeviceReady(device)) {
    const auto left = end - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) break;
    const long seconds = static_cast<long>(std::chrono::ceil<std::chrono::seconds>(left).count());
    if (io_.errIsTerminal && seconds != shown) {
      io_.err << "\r\033[KWaiting for " << device << " (" << seconds << " s left)" << std::flush;
      shown = seconds;
    }
    loop_.ProcessEvents(std::chrono::milliseconds(100));
  }
  if (shown >= 0) io_.err << "\r\033[K" << std::flush;
}

bool CliRunner::ChooseLanguage() {
  if (options_.language.empty()) return true;
  const std::string wanted = ToUpper(Trim(options_.language));
  const auto& languages = process_->Configuration().firmwareLanguages;
  if (std::find(languages.begin(), languages.end(), wanted) == languages.end()) {
    std::string known;
    for (const auto& l : languages) known += (known.empty() ? "" : ", ") + l;
    UsageError("--language " + options_.language + " is not a firmware language of the package (" +
               known + ")");
    return false;
  }
  process_->FirmwareLanguage(wanted);
  return true;
}

void CliRunner::PrintHint() {
  // A download file kept because nobody could agree to replace it: what to
  // change is the runner's own question, not the package.
  if (process_->Cause() == upload::FailureCause::ValidationFailed && prompt_->refused) {
    Hint(
        "a download file exists already: run on a terminal to be asked, or give --yes to "
        "overwrite it");
    return;
  }
  const std::string hint = process_->Hint();
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
  const bool ok = cause == upload::FailureCause::None;
  // Standard output that could not be written (a closed pipe, a full disk)
  // never stopped the run; a success says so in its exit status.
  const bool outputLost = !io_.out.flush();
  if (outputLost) {
    io_.err << "pelvane-cli: standard output could not be written; the run went on to its end"
            << (options_.report.empty() ? "" : " and the report has it all") << "\n";
    if (exitCode == kExitOk) exitCode = kExitOutputLost;
  }
  if (core::trace::On())
    core::trace::Note("outcome",
                      "exit " + std::to_string(exitCode) + ", code " + std::to_string(code) + ", " +
                          message + (ok ? "" : ", cause " + std::string(upload::CauseName(cause))));
  if (options_.json && !options_.summary) {
    Json result{{"event", "result"}};
    AddOutcome(result, ok, code, message, cause);
    io_.out << JsonLine(result);
    io_.out.flush();
  }
  if (!options_.report.empty()) {
    record_->end = IsoTime(std::chrono::system_clock::now());
    record_->ok = ok;
    record_->code = code;
    record_->message = message;
    record_->cause = cause;
    record_->exitCode = exitCode;
    record_->outputLost = outputLost;
    const std::string json = record_->Json();
    const core::WholeWrite written = core::WriteWholeFile(
        options_.report, {reinterpret_cast<const std::uint8_t*>(json.data()), json.size()},
        core::Overwrite::kAgreed);
    if (!written.ok) io_.err << "pelvane-cli: could not write the report " << written.error << "\n";
  }
  return exitCode;
}

}  // namespace pelvane::cli
