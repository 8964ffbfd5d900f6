// The upload controller: carries one firmware upload from the loaded package
// and the user's choices through the application object to the end of the
// run, and reports what it does line by line and as progress.
//
// Threading: one owner thread creates the object and makes every call; the
// application object's events reach it on that thread while Upload waits in
// the thread's message loop. Another thread (a signal handler's helper, say)
// must not call Cancel directly: it posts a task that calls Cancel to the
// owner's loop (core::MessageLoop::Post), which also wakes the wait.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/iqx_app.h"
#include "core/class_registry.h"
#include "core/event_source.h"
#include "upload/failure_cause.h"
#include "upload/run_estimate.h"
#include "upload/run_operation.h"
#include "upload/upload_view.h"

namespace pelvane::package {
struct PackageConfiguration;
class QN_Prompt;
}  // namespace pelvane::package

namespace pelvane::upload {

// The transfer animation and the erase progress advance at most this often.
inline constexpr std::chrono::milliseconds kAnimationTick{200};
// A wait for an answer has no time limit of its own unless one is set (the
// wizard's user can always cancel; the command-line runner sets one).
inline constexpr std::chrono::milliseconds kNoIdleTimeout{0};
// How long the instrument may be silent before a command that only reads or
// sets a state is sent again (or a program block read back): far longer than
// any of them takes, and longer than an instrument waits for an
// acknowledgement that does not come, so that it has given up the old
// exchange by then. Shorter when the idle time-out is. An erase may take
// minutes and keeps the idle time-out.
inline constexpr std::chrono::milliseconds kResendSilence{10000};
// How often a command is sent again at most.
inline constexpr int kMaxResends = 2;

// What a run found out, for records kept per instrument.
struct MemoryCodes {
  std::int32_t startAddress = 0;
  std::uint32_t manufacturer = 0;
  std::uint32_t device = 0;
};

struct ProgramChecksum {
  std::string filename;
  std::int32_t blockCount = 0;
  std::uint32_t host = 0;
  std::uint32_t target = 0;
};

// The read-back compare of one program file (with verify on).
struct VerifyResult {
  std::string filename;
  bool ok = false;
  std::int64_t mismatchAddress = -1;  // the first byte that differs; -1: none found
};

// A command sent again because its answer was lost on the line.
struct Resend {
  std::string command;  // "ReadData"
  std::string reason;   // "answer damaged on the line", "no answer for 10 seconds", ...
};

// An adapter that holds every answer byte for a while (a USB adapter's latency
// timer): what the run measured, and what to do about it.
struct SlowAdapter {
  double turnaroundMs = 0;  // the median time from an acknowledgement to the next byte
  std::string adapter;      // the port's report on its adapter; empty when it gave none
  std::string advice;       // how to set the latency timer to 1 ms
};

// Where the whole run stands, in the time its estimate gives each step.
struct RunProgress {
  double fraction = 0;         // 0..1 of the whole run
  double elapsedSeconds = 0;   // since the run started
  double secondsLeft = 0;      // the estimate's remainder, at the pace kept so far
  std::string step;            // what the run does now ("Program File = MAIN.BIN")
  std::int64_t stepBytes = 0;  // data bytes the step has moved
  double stepSeconds = 0;      // how long the step has been going
};

// What a run moved and how long it took.
struct RunStatistics {
  double durationSeconds = 0;
  std::int64_t bytesProgrammed = 0;
  std::int64_t bytesReadBack = 0;  // into read-back files (downloads, backup, reads)
  std::int64_t bytesVerified = 0;  // read back to be compared with the package
  // Commands sent again after their answer was lost or garbled.
  std::int32_t resends = 0;
  bool verified = false;  // programs were read back and every byte matched
};

class QN_UploadProcessEvents {
 public:
  virtual ~QN_UploadProcessEvents() = default;
  // Raised only while no wizard view is running (the view gets them instead).
  virtual void ProgressUpdate(std::string& text, std::int16_t& percent) = 0;
  virtual void ActionUpdate(std::string& text) = 0;
  // Facts of the run, raised in both reporting modes.
  virtual void MemoryIdentified(const MemoryCodes&) {}
  virtual void ProgramVerified(const ProgramChecksum&) {}
  // A read-back file written: where it went, its size and the SHA-256 of
  // the bytes written (lower-case hexadecimal).
  virtual void DownloadWritten(const std::string& /*filename*/, std::int64_t /*bytes*/,
                               const std::string& /*sha256*/) {}
  virtual void ProgramReadBack(const VerifyResult&) {}
  // The transfer program goes out now and the run waits, without events, for
  // the boot monitor's verdict: due within `limit` (the block's time on the
  // line and the verdict wait). The next event ends the wait.
  virtual void BootMonitorWait(std::chrono::milliseconds /*limit*/) {}
  virtual void CommandResent(const Resend&) {}
  // Raised at most once a run.
  virtual void AdapterSlow(const SlowAdapter&) {}
  // Raised only while no wizard view is running, after each exchange.
  virtual void OverallProgress(const RunProgress&) {}
  // Each command's round trip from sending to its answer.
  virtual void CommandTimed(const std::string& /*command*/, double /*seconds*/) {}
};

class QN_UploadProcess {
 public:
  using AppRegistry = core::ClassRegistry<app::IQX_App>;
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  // `apps` creates the application object by its class id (FlashApp); it must
  // outlive this object. `prompt` answers questions (download files that
  // exist, a bad language); without one every such question is answered No.
  explicit QN_UploadProcess(const AppRegistry& apps, package::QN_Prompt* prompt = nullptr);
  ~QN_UploadProcess();
  QN_UploadProcess(const QN_UploadProcess&) = delete;
  QN_UploadProcess& operator=(const QN_UploadProcess&) = delete;

  // QN_Error: the text is the resource text of the code followed by the string.
  std::int32_t GetLastError() const;
  std::string GetLastErrorString() const;
  void SetLastError(std::int32_t code);
  void SetLastErrorString(const std::string& text);

  void ComPort(const std::string& port);
  const std::string& ComPort() const;
  void FirmwareLanguage(const std::string& language);
  const std::string& FirmwareLanguage() const;
  void Cancel();
  bool DisplayReadMe();
  bool UploadWizard_Running();
  // Loads the configuration member (always "QXCONFIG.INI") of the package at
  // PackagePath; the outcome is in GetLastError.
  void Filename(const std::string& member);
  void DisplayConfiguration();
  bool Upload();
  bool RestartInstrument() const;

  // What Upload does (Update unless set); the others only read.
  void Operation(RunOperation operation);
  RunOperation Operation() const;
  // The ranges of RunOperation::Read, each "START,LENGTH,FILE" as a package's
  // UPLOAD entry; a FILE with a folder goes there, a bare name into the
  // output folder.
  void ReadRanges(const std::vector<std::string>& ranges);
  // Everything Upload checks before the port opens (the package's items,
  // the speed, every member read whole), and the run's estimate at the
  // package's rate; nothing is sent. False with the reason in GetLastError.
  bool Check(RunEstimate* estimate);
  // What the last run moved and how long it took.
  RunStatistics Statistics() const;
  // The outcome of the last run of a read-only operation as the user reads
  // it: the memories and their codes, the files read back, whether the
  // instrument holds the package. Empty after an update.
  std::vector<std::string> OutcomeLines() const;
  // Where Identify keeps the codes it saw, to tell when another unit shows
  // others; empty: nowhere. Default: DefaultMemoryHistoryFile().
  void MemoryHistoryFile(const std::string& file);

  core::Status Advise(QN_UploadProcessEvents* listener, core::Cookie* cookie);
  core::Status Unadvise(core::Cookie cookie);

  // Set-up by the program around the controller.
  void PackagePath(const std::string& path);
  const std::string& PackagePath() const;
  // The folder the read-back files go to; empty (the default): the current folder.
  void OutputFolder(const std::string& folder);
  const std::string& OutputFolder() const;
  void SetView(QN_UploadView* view);  // the wizard's upload screen; null detaches
  void SetPrompt(package::QN_Prompt* prompt);
  void TransferOnly(bool transferOnly);  // the command line's TRANSFERONLY
  // Read each programmed file back and compare it byte for byte (off by default).
  void Verify(bool verify);
  bool TransferOnly() const;
  void SetClock(Clock clock);  // steady clock unless set (tests drive their own)
  void SetTick(std::chrono::milliseconds tick);
  void SetIdleTimeout(std::chrono::milliseconds timeout);  // kNoIdleTimeout: none
  // Commands that only read or set a state are sent again after a damaged
  // answer or a short silence, and a program block whose answer was lost is
  // read back (on by default). Off, every command goes once and a lost answer
  // fails the run.
  void Resend(bool resend);
  // True after a run whose wait was ended by the idle time-out.
  bool IdleTimedOut() const;
  // Why the last run failed (None after a success), and the advice for the
  // user on it that the command-line runner and the wizard both show (on
  // `cause` instead, when given: a cancellation, say, that another failure
  // came before).
  FailureCause Cause() const;
  std::string Hint(std::optional<FailureCause> cause = std::nullopt) const;
  // How far the run came; any thread may ask.
  RunStage Stage() const;

  bool Loaded() const;  // a package has been loaded without error
  const package::PackageConfiguration& Configuration() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace pelvane::upload
