// The headless runner: loads a package, checks the user's choices, runs the
// upload and reports it as text or JSON lines, and keeps a record.
//
// Threading: everything runs on the thread that calls Run, except
// RequestCancel and ForcedEnd, which the stop watcher's thread calls.
#pragma once

#include <atomic>
#include <chrono>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/iqx_app.h"
#include "cli/answer_reader.h"
#include "cli/cli_options.h"
#include "cli/run_outputs.h"
#include "core/class_registry.h"
#include "core/message_loop.h"
#include "upload/failure_cause.h"
#include "upload/qn_upload_process.h"

namespace pelvane::cli {

class OverwritePrompt;
class RunDisplay;
struct RunRecord;

enum ExitCode : int {
  kExitOk = 0,
  kExitUploadFailed = 1,
  kExitUsage = 2,
  kExitPackage = 3,
  kExitValidation = 4,
  // The upload succeeded but what it said could not all be written to
  // standard output (a closed pipe, a full disk); the report has it all.
  kExitOutputLost = 5,
  kExitCancelled = 130,
};

// How long the orderly end of a cancelled run may still take after a second
// signal before the program ends without it.
inline constexpr std::chrono::seconds kSecondSignalGrace{3};

struct CliStreams {
  std::ostream& out;
  std::ostream& err;
  std::istream& in;
  bool inIsTerminal = false;   // questions may be asked
  bool errIsTerminal = false;  // a progress line may be drawn
  // Where answers come from when questions are asked on a real terminal, so
  // that a cancellation can interrupt the wait for one; null: read `in`.
  AnswerReader* answers = nullptr;
  // Standard output is a terminal: no plain progress lines into it.
  bool outIsTerminal = true;
  // The terminal takes escape sequences (not with TERM=dumb or NO_COLOR).
  bool terminalEscapes = true;
};

// A line the user typed, without its line end: from `answers` when set (a
// cancellation ends the wait at once), else from `in`; nothing when input
// ended or the run was cancelled.
std::optional<std::string> ReadAnswer(CliStreams& io);
// A message on one line: the controller's texts join their parts with
// CR LF, which has no place in a line of text or JSON; the parts are joined
// with ": " after the first and "; " after the others.
std::string OneLineMessage(const std::string& message);

class CliRunner {
 public:
  CliRunner(CliOptions options, CliStreams streams, const core::ClassRegistry<app::IQX_App>& apps);
  ~CliRunner();

  int Run();
  // Cancels the upload (the link is closed and shut down properly) or, before
  // it started, keeps it from starting.
  void RequestCancel();
  // Ends a run that an exception cut short (a fault of the program): says so,
  // writes the result and the report with the cause Internal, gives the exit code.
  int InternalFault(const std::string& what);
  // Ends a run that a second stop request cuts short, on the watcher's thread
  // while the run may still be stuck in a wait: says what the run left
  // behind, writes the result, the trace and the report (cancelled), and
  // gives the exit code for the process (the run's own when it ended meanwhile).
  int ForcedEnd();

 private:
  // Writes the result (JSON line, trace, report) of a run that ended; a
  // success has the cause None.
  int Finish(int exitCode, std::int32_t code, const std::string& message,
             upload::FailureCause cause);
  // Finish with the record's lock held.
  int WriteEnd(int exitCode, std::int32_t code, const std::string& message,
               upload::FailureCause cause);
  // The report and the trace may be written (run_outputs.h); the trace starts.
  bool PrepareOutputs();
  // Neither is a read-back file of the loaded package, and the user agreed
  // to replace what they would replace.
  bool SettleOutputs();
  // What a read-only operation found (memories, whether the instrument
  // holds the package), as text or JSON.
  // The steps of Run; a step that ends the run gives its exit code.
  std::optional<int> OpenPackage();
  int PrintSummary();
  std::optional<int> PrepareUpload();
  int Upload();
  void PrintSuccess();
  void ShowOutcome(bool ok);
  bool ChoosePort();
  bool ChooseLanguage();
  void Hint(const std::string& text);
  void PrintHint();
  void UsageError(const std::string& text);

  CliOptions options_;
  CliStreams io_;
  core::MessageLoop& loop_;
  std::atomic<bool> cancelRequested_{false};
  std::unique_ptr<OverwritePrompt> prompt_;
  std::unique_ptr<upload::QN_UploadProcess> process_;
  std::unique_ptr<RunRecord> record_;
  std::unique_ptr<RunDisplay> display_;
  RunOutput report_{"--report", "report", {}};
  RunOutput trace_{"--trace", "trace", {}};
  bool uploadStarted_ = false;
  std::string usage_;  // the last usage error, the message of the run's end
  // The run wrote its end (guarded by the record's lock), with this code.
  bool ended_ = false;
  int endCode_ = kExitOk;
  // What the run moved; only once it ran.
  std::optional<upload::RunStatistics> statistics_;
};

}  // namespace pelvane::cli
