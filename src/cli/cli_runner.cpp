#include "cli/cli_runner.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <vector>

#include "core/trace.h"
#include "package/package_archive.h"
#include "package/package_configuration.h"
#include "package/package_loader.h"
#include "package/port_kind.h"
#include "package/prompt.h"
#include "package/qn_error.h"
#include "upload/qn_upload_process.h"
#include "upload/report_text.h"

namespace pelvane::cli {

using upload::HexText;
using upload::Trim;
using upload::Upper;

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += ch;
        }
    }
  }
  return out + "\"";
}

namespace {

// The cause of a failure as one more member of a JSON object (`spaced` as the
// report writes its members); nothing after a success, which has no cause.
std::string CauseMember(upload::FailureCause cause, bool spaced) {
  if (cause == upload::FailureCause::None) return "";
  return std::string(spaced ? ", \"cause\": " : ",\"cause\":") +
         JsonString(std::string(upload::CauseName(cause)));
}

std::string IsoTime(std::chrono::system_clock::time_point when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() % 1000;
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(ms));
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
      std::string answer;
      std::getline(io_.in, answer);
      answer = Upper(Trim(answer));
      if (answer == "Y" || answer == "YES") return package::PromptAnswer::Yes;
    } else {
      refused = true;
    }
    return package::PromptAnswer::No;
  }

  bool refused = false;

 private:
  const CliOptions& options_;
  CliStreams& io_;
};

// What technicians keep per instrument.
class CliRunner::Record {
 public:
  struct Action {
    std::string time, text;
  };
  std::string package, comment, port, language, start, end;
  std::vector<Action> actions;
  std::vector<upload::MemoryCodes> memories;
  std::vector<upload::ProgramChecksum> programs;
  std::vector<std::pair<std::string, std::int64_t>> downloads;
  bool ok = false;
  std::int32_t code = 0;
  std::string message;
  upload::FailureCause cause = upload::FailureCause::None;
  int exitCode = 0;

  std::string Json() const {
    std::ostringstream j;
    j << "{\n  \"package\": " << JsonString(package) << ",\n  \"comment\": " << JsonString(comment)
      << ",\n  \"port\": " << JsonString(port)
      << ",\n  \"firmwareLanguage\": " << JsonString(language)
      << ",\n  \"start\": " << JsonString(start) << ",\n  \"end\": " << JsonString(end)
      << ",\n  \"actions\": [";
    for (std::size_t i = 0; i < actions.size(); ++i)
      j << (i ? "," : "") << "\n    {\"time\": " << JsonString(actions[i].time)
        << ", \"text\": " << JsonString(actions[i].text) << "}";
    j << "\n  ],\n  \"memories\": [";
    for (std::size_t i = 0; i < memories.size(); ++i)
      j << (i ? "," : "")
        << "\n    {\"startAddress\": " << JsonString(HexText(memories[i].startAddress))
        << ", \"manufacturer\": " << JsonString(HexText(memories[i].manufacturer))
        << ", \"device\": " << JsonString(HexText(memories[i].device)) << "}";
    j << "\n  ],\n  \"programs\": [";
    for (std::size_t i = 0; i < programs.size(); ++i)
      j << (i ? "," : "") << "\n    {\"file\": " << JsonString(programs[i].filename)
        << ", \"blocks\": " << programs[i].blockCount
        << ", \"hostChecksum\": " << JsonString(HexText(programs[i].host))
        << ", \"targetChecksum\": " << JsonString(HexText(programs[i].target)) << "}";
    j << "\n  ],\n  \"downloads\": [";
    for (std::size_t i = 0; i < downloads.size(); ++i)
      j << (i ? "," : "") << "\n    {\"file\": " << JsonString(downloads[i].first)
        << ", \"bytes\": " << downloads[i].second << "}";
    j << "\n  ],\n  \"outcome\": {\"ok\": " << (ok ? "true" : "false") << ", \"code\": " << code
      << ", \"exitCode\": " << exitCode << ", \"message\": " << JsonString(message)
      << CauseMember(cause, true) << "}\n}\n";
    return j.str();
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
      io_.out << "{\"event\":\"action\",\"text\":" << JsonString(text) << "}\n";
    else
      io_.out << text << "\n";
    io_.out.flush();
  }

  void ProgressUpdate(std::string& text, std::int16_t& percent) override {
    if (options_.json) {
      io_.out << "{\"event\":\"progress\",\"text\":" << JsonString(text)
              << ",\"percent\":" << percent << "}\n";
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
  if (!std::filesystem::is_regular_file(options_.package, ec)) {
    const std::string message = "package file not found: " + options_.package;
    UsageError(message);
    return Finish(kExitPackage, package::kErrFilenameInvalid, message,
                  upload::FailureCause::PackageInvalid);
  }
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
    for (const std::string& piece :
         package::ConfigurationSummary(process_->Configuration(), /*advanced=*/true))
      io_.out << piece << "\n";
    return Finish(kExitOk, package::kErrOk, "OK", upload::FailureCause::None);
  }

  process_->TransferOnly(options_.transferOnly);
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
  if (cancelRequested_) {
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

bool CliRunner::ChoosePort() {
  if (options_.port.empty()) return true;
  const std::string trimmed = Trim(options_.port);
  const std::string wanted = Upper(trimmed);
  const auto& ports = process_->Configuration().ports;
  const bool listed = std::find(ports.begin(), ports.end(), wanted) != ports.end();
  const bool devicePath = !trimmed.empty() && trimmed.front() == '/';
  if (!listed && !devicePath && package::KindOfPort(wanted) != package::PortKind::Gpib) {
    std::string known;
    for (const auto& p : ports) known += (known.empty() ? "" : ", ") + p;
    UsageError("--port " + options_.port + " is neither a port of the package (" + known +
               ") nor a device path");
    return false;
  }
  process_->ComPort(devicePath ? trimmed : wanted);
  return true;
}

bool CliRunner::ChooseLanguage() {
  if (options_.language.empty()) return true;
  const std::string wanted = Upper(Trim(options_.language));
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
  if (core::trace::On())
    core::trace::Note("outcome",
                      "exit " + std::to_string(exitCode) + ", code " + std::to_string(code) + ", " +
                          message + (ok ? "" : ", cause " + std::string(upload::CauseName(cause))));
  if (options_.json) {
    io_.out << "{\"event\":\"result\",\"ok\":" << (ok ? "true" : "false") << ",\"code\":" << code
            << ",\"message\":" << JsonString(message) << CauseMember(cause, false) << "}\n";
    io_.out.flush();
  }
  if (!options_.report.empty()) {
    record_->end = IsoTime(std::chrono::system_clock::now());
    record_->ok = ok;
    record_->code = code;
    record_->message = message;
    record_->cause = cause;
    record_->exitCode = exitCode;
    std::ofstream file(options_.report, std::ios::trunc);
    file << record_->Json();
    file.close();
    if (!file) io_.err << "pelvane-cli: could not write the report " << options_.report << "\n";
  }
  return exitCode;
}

}  // namespace pelvane::cli
