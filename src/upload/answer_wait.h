// The application object of one run, and the wait for each of its answers: a
// command goes out, the owner thread's loop turns until the answer, an error
// event, a cancellation or the idle time-out, and the answer is checked
// against what the command expects. Every failure on this way is recorded in
// the run's outcome with its code, detail and cause.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/iqx_app.h"
#include "core/event_source.h"
#include "core/link_diagnosis.h"
#include "upload/qn_upload_process.h"
#include "upload/run_outcome.h"
#include "upload/run_report.h"

namespace pelvane::upload {

// The response code of a command after which any answer (or none) will do.
inline constexpr std::uint8_t kAnyAnswer = 0;

class AnswerWait final : private app::IQX_AppEvents {
 public:
  using Clock = QN_UploadProcess::Clock;
  using Call = std::function<core::Status(app::IQX_App&)>;

  // Everything given must outlive this object.
  AnswerWait(const QN_UploadProcess::AppRegistry& apps, RunOutcome& outcome, RunReport& report,
             const Clock& clock);
  ~AnswerWait() override;
  AnswerWait(const AnswerWait&) = delete;
  AnswerWait& operator=(const AnswerWait&) = delete;

  // Creates the application object and listens to it; false (and a recorded
  // failure) when the registry has none.
  bool CreateApp();
  void ReleaseApp();
  bool HasApp() const { return app_ != nullptr; }

  // Runs `call` on the application object. A lower object that is missing
  // lets a StatusError through the application layer; it becomes the status
  // it carries, and its text goes to `thrown` when given.
  core::Status Guarded(const Call& call, std::string* thrown = nullptr);
  // The application object's last error; -1 when it cannot tell.
  std::int16_t AppLastError();
  std::string AppErrorText();

  // Sends one command and waits for its answer. `expected` is the response
  // code the command waits for (kAnyAnswer: whatever comes ends the wait).
  // `onPass` runs after every pass of the loop.
  //
  // An answer lost on the line (damaged, ended early, or not begun within
  // the command's silence) is the command's own matter: one that only reads
  // or sets a state is sent again, at most kMaxResends times, with an action
  // line each time; a program block's comes back as kLost for the caller to
  // find out what the instrument did; an erase or a restart fails at once.
  // Without resends (SetResend(false)) every lost answer fails the run.
  enum class Reply {
    kAnswered,  // the answer came and passed its checks
    kFailed,    // the run's outcome holds the failure
    kLost,      // a program block's answer was lost; nothing is recorded yet
  };
  Reply Ask(std::uint8_t expected, const Call& send, const std::function<void()>& onPass = {});
  // True when the answer came and passed its checks.
  bool Exchange(std::uint8_t expected, const Call& send, const std::function<void()>& onPass = {}) {
    return Ask(expected, send, onPass) == Reply::kAnswered;
  }
  // Why the last kLost answer was lost, for action lines ("answer damaged on
  // the line").
  const std::string& LostReason() const { return lostReason_; }
  // A command sent again: an action line ("ReadData: answer damaged on the
  // line, sent again (1 of 2)") and the event the records count. The run
  // uses it too for what it sends again itself (a program block that read
  // back erased).
  void NoteResend(const std::string& command, const std::string& reason, int nth, int most);

  // Starts a run: no stop requested, no idle time-out seen, no answers kept.
  void StartRun();
  // Ends the wait in progress and keeps the next from starting.
  void Stop() { stopRequested_ = true; }
  bool StopRequested() const { return stopRequested_; }
  // Handles what reached the owner's loop meanwhile (a cancellation posted by
  // another thread) outside any wait; true when a stop has been requested.
  bool TakeStopRequests();
  void SetTick(std::chrono::milliseconds tick) { tick_ = tick; }
  // The port the run uses, for messages about it.
  void SetPort(std::string port) { port_ = std::move(port); }
  void SetIdleTimeout(std::chrono::milliseconds timeout) { idleTimeout_ = timeout; }
  bool IdleTimedOut() const { return idleTimedOut_; }
  void SetResend(bool resend) { resend_ = resend; }
  bool ResendEnabled() const { return resend_; }
  // The line's speed, to tell an adapter's delay from the wire time.
  void SetBaudRate(std::int32_t baud) { baudRate_ = baud; }

  // What the answers delivered.
  std::uint32_t ManufacturerCode() const { return manufacturerCode_; }
  std::uint32_t DeviceCode() const { return deviceCode_; }
  std::uint32_t TargetChecksum() const { return targetChecksum_; }
  // Before each Checksum command: no value until its answer delivers one.
  void ClearChecksum() {
    targetChecksum_ = 0;
    checksumDelivered_ = false;
  }
  bool ChecksumDelivered() const { return checksumDelivered_; }

  // A link that failed for a reason of the port's: the run fails with the
  // port's own account (and a device that went away says so, naming
  // `port`), its advice kept for the hint.
  void FailLink(const std::string& port, const std::string& what);

 private:
  void Response(std::uint8_t enumResponseID) override;
  void Error(std::int16_t iLastError) override;

  // How an answer can be lost on the line.
  enum class Lost { kNone, kDamaged, kEndedEarly, kSilent };
  // How a command is repeated when its answer was lost.
  enum class Repeat { kNever, kResend, kByCaller };
  Repeat RepeatOf(std::uint8_t expected) const;
  // How long the instrument may be silent before the answer counts as lost
  // (kNoIdleTimeout: no limit).
  std::chrono::milliseconds SilenceLimit(Repeat repeat) const;

  void Send(std::uint8_t expected, const Call& send);
  void Wait(const std::function<void()>& onPass, std::chrono::milliseconds silenceLimit,
            bool silenceLoses);
  // The run fails on a lost answer, with the cause that fits how it was lost.
  void FailLost(std::uint8_t expected, int sent);
  // The instrument was silent for `limit`: the run fails and stops.
  void FailSilent(std::chrono::milliseconds limit);
  // Says once a run when the adapter delays every answer byte.
  void CheckPace();
  // How the application object's link has been going (nothing known without one).
  core::LinkActivity Activity() const;
  // Reads what the answer carries and checks its status.
  void TakeAnswer(app::IQX_App& app, std::uint8_t responseId);
  std::chrono::steady_clock::time_point Now() const { return clock_(); }

  const QN_UploadProcess::AppRegistry& apps_;
  RunOutcome& outcome_;
  RunReport& report_;
  std::string port_;
  const Clock& clock_;
  std::unique_ptr<app::IQX_App> app_;
  core::Cookie cookie_ = 0;
  bool advised_ = false;

  bool answered_ = false;
  Lost lost_ = Lost::kNone;
  std::string lostReason_;  // "answer damaged on the line"
  std::string lostDetail_;  // the session's number and text that told of it
  std::uint8_t expected_ = kAnyAnswer;
  bool resend_ = true;
  std::int32_t baudRate_ = 0;
  bool paceNoted_ = false;
  bool stopRequested_ = false;
  std::chrono::milliseconds tick_ = kAnimationTick;
  std::chrono::milliseconds idleTimeout_ = kNoIdleTimeout;
  bool idleTimedOut_ = false;

  std::uint32_t manufacturerCode_ = 0;
  std::uint32_t deviceCode_ = 0;
  std::uint32_t targetChecksum_ = 0;
  bool checksumDelivered_ = false;
};

}  // namespace pelvane::upload
