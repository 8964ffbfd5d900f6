#include "upload/answer_wait.h"

#include <algorithm>

#include "core/class_ids.h"
#include "core/link_diagnosis.h"
#include "core/message_loop.h"
#include "ports/kind/device_name.h"
#include "upload/report_text.h"

namespace pelvane::upload {

namespace {

// "150", or "0.5" for a time-out that tests shorten below a second.
std::string SecondsText(std::chrono::milliseconds time) {
  const auto ms = time.count();
  std::string text = std::to_string(ms / 1000);
  if (ms % 1000 != 0) {
    std::string fraction = std::to_string(1000 + ms % 1000).substr(1);
    while (fraction.back() == '0') fraction.pop_back();
    text += "." + fraction;
  }
  return text;
}

// The command each awaited answer belongs to, named as the action lines name it.
std::string CommandName(std::uint8_t expected) {
  switch (expected) {
    case app::HMANUFACTURER:
      return "QueryManufacturerCode";
    case app::HPROGPWRON:
      return "ProgPowerOn";
    case app::HPROGPWROFF:
      return "ProgPowerOff";
    case app::HLESEDATEN:
      return "ReadData";
    case app::HPROGDATEN:
      return "Prog";
    case app::HCHECKSUM:
      return "Checksum";
    case app::HFLASHERASE:
      return "FlashDelete";
    default:
      return "ProgEnd";  // the one command after which any answer will do
  }
}

// An adapter is worth a word when the time from an acknowledgement to the
// byte it lets come stays this much above the wire time of the two: the
// instrument itself answers within a byte time, a pseudo-terminal or a USB
// adapter at 1 ms within about a millisecond, FTDI's default timer takes 16.
constexpr std::chrono::microseconds kSlowTurnaround{4000};
// Enough acknowledgements that one slow moment does not count.
constexpr std::size_t kPaceSamples = 32;
// A byte on the line: start bit, 8 data bits, parity, stop bit.
constexpr std::int64_t kBitsPerByte = 11;

// The error code a step reports when the answer to its command fails.
std::int32_t FailureCodeFor(std::uint8_t expected) {
  switch (expected) {
    case app::HPROGPWRON:
      return package::kErrPowerOn;
    case app::HPROGPWROFF:
      return package::kErrPowerOff;
    case app::HLESEDATEN:
      return package::kErrReadData;
    case app::HPROGDATEN:
      return package::kErrProgramming;
    case app::HFLASHERASE:
      return package::kErrFlashErase;
    default:
      return package::kErrCommunication;
  }
}

}  // namespace

AnswerWait::AnswerWait(const QN_UploadProcess::AppRegistry& apps, RunOutcome& outcome,
                       RunReport& report, const Clock& clock)
    : apps_(apps), outcome_(outcome), report_(report), clock_(clock) {}

AnswerWait::~AnswerWait() {
  ReleaseApp();
}

bool AnswerWait::CreateApp() {
  app_ = apps_.Create(core::clsid::kFlashApp);
  if (!app_) {
    outcome_.Fail(package::kErrCommunication,
                  "Communications Port failed to initialise (no application layer)",
                  FailureCause::Internal);
    return false;
  }
  advised_ = core::Succeeded(app_->Advise(this, &cookie_));
  return true;
}

void AnswerWait::ReleaseApp() {
  if (!app_) return;
  if (advised_) app_->Unadvise(cookie_);
  advised_ = false;
  app_.reset();
}

core::Status AnswerWait::Guarded(const Call& call, std::string* thrown) {
  if (!app_) return core::Status::Pointer;
  try {
    return call(*app_);
  } catch (const core::StatusError& e) {
    if (thrown != nullptr) *thrown = e.what();
    return e.status();
  }
}

std::int16_t AnswerWait::AppLastError() {
  std::int16_t code = 0;
  if (!core::Succeeded(Guarded([&](app::IQX_App& a) { return a.GetLastError(&code); }))) return -1;
  return code;
}

std::string AnswerWait::AppErrorText() {
  std::string text;
  std::string thrown;
  Guarded([&](app::IQX_App& a) { return a.GetErrorString(&text); }, &thrown);
  return thrown.empty() ? text : thrown;
}

bool AnswerWait::TakeStopRequests() {
  core::CurrentMessageLoop().ProcessEvents(std::chrono::milliseconds(0));
  return stopRequested_;
}

void AnswerWait::StartRun() {
  stopRequested_ = false;
  idleTimedOut_ = false;
  paceNoted_ = false;
  manufacturerCode_ = 0;
  deviceCode_ = 0;
  ClearChecksum();
}

AnswerWait::Repeat AnswerWait::RepeatOf(std::uint8_t expected) const {
  if (!resend_) return Repeat::kNever;
  switch (expected) {
    case app::HMANUFACTURER:
    case app::HPROGPWRON:
    case app::HPROGPWROFF:
    case app::HLESEDATEN:
    case app::HCHECKSUM:
      return Repeat::kResend;
    case app::HPROGDATEN:
      return Repeat::kByCaller;
    default:
      // An erase is not repeated blindly (a second one would hide what the
      // first did), and a restart has happened once it was taken.
      return Repeat::kNever;
  }
}

std::chrono::milliseconds AnswerWait::SilenceLimit(Repeat repeat) const {
  if (repeat == Repeat::kNever) return idleTimeout_;
  return idleTimeout_ > kNoIdleTimeout ? std::min(idleTimeout_, kResendSilence) : kResendSilence;
}

AnswerWait::Reply AnswerWait::Ask(std::uint8_t expected, const Call& send,
                                  const std::function<void()>& onPass) {
  const Repeat repeat = RepeatOf(expected);
  const auto start = Now();
  for (int sent = 1;; ++sent) {
    Send(expected, send);
    Wait(onPass, SilenceLimit(repeat), repeat != Repeat::kNever);
    if (outcome_.HasError()) return Reply::kFailed;
    if (lost_ == Lost::kNone) {
      report_.CommandTimed(CommandName(expected),
                           std::chrono::duration<double>(Now() - start).count());
      CheckPace();
      return Reply::kAnswered;
    }
    if (repeat == Repeat::kByCaller) return Reply::kLost;
    if (repeat == Repeat::kResend && sent <= kMaxResends) {
      NoteResend(CommandName(expected), lostReason_, sent, kMaxResends);
      continue;
    }
    FailLost(expected, sent);
    return Reply::kFailed;
  }
}

void AnswerWait::NoteResend(const std::string& command, const std::string& reason, int nth,
                            int most) {
  report_.Action(command + ": " + reason + ", sent again (" + std::to_string(nth) + " of " +
                 std::to_string(most) + ")");
  report_.CommandResent({command, reason});
}

void AnswerWait::FailLost(std::uint8_t expected, int sent) {
  const std::string times = sent > 1 ? " (sent " + std::to_string(sent) + " times)" : "";
  switch (lost_) {
    case Lost::kDamaged:
      outcome_.Fail(package::kErrCommunication,
                    std::to_string(app::kErrorAnswerDamaged) + " Answer to " +
                        CommandName(expected) + " damaged on the line (checksum error)" + times,
                    FailureCause::AnswerCorrupted);
      break;
    case Lost::kEndedEarly:
      outcome_.Fail(package::kErrCommunication, lostDetail_ + times,
                    FailureCause::InstrumentSilent);
      break;
    case Lost::kSilent:
    case Lost::kNone:
      FailSilent(SilenceLimit(RepeatOf(expected)));
      break;
  }
}

void AnswerWait::FailSilent(std::chrono::milliseconds limit) {
  // An answer that never comes (the instrument hung, the cable is out) ends
  // no wait by itself.
  idleTimedOut_ = true;
  report_.Action("The instrument stopped answering (no answer for " + SecondsText(limit) +
                 " seconds)");
  outcome_.Fail(package::kErrCommunication, "idle time-out: the instrument stopped answering",
                FailureCause::InstrumentSilent);
  stopRequested_ = true;
}

core::LinkActivity AnswerWait::Activity() const {
  const auto* link = dynamic_cast<const core::IQX_LinkDiagnostics*>(app_.get());
  return link ? link->Activity() : core::LinkActivity{};
}

void AnswerWait::CheckPace() {
  if (paceNoted_) return;
  const core::LinkActivity activity = Activity();
  if (activity.turnarounds < kPaceSamples) return;
  // The acknowledgement and the byte it lets come take their wire time.
  const std::chrono::microseconds wire(baudRate_ > 0 ? 2 * kBitsPerByte * 1000000 / baudRate_ : 0);
  if (activity.turnaround - wire < kSlowTurnaround) return;
  paceNoted_ = true;
  SlowAdapter slow{static_cast<double>(activity.turnaround.count()) / 1000.0, activity.adapter,
                   ports::LatencyTimerAdvice(ports::DeviceOfPort(port_))};
  const auto ms = (activity.turnaround.count() + 500) / 1000;
  report_.Action("Each answer byte comes about " + std::to_string(ms) +
                 " ms after its acknowledgement: the serial adapter holds it" +
                 (slow.adapter.empty() ? "" : " (" + slow.adapter + ")") +
                 ". Set its latency timer to 1 ms: " + slow.advice);
  report_.AdapterSlow(slow);
}

void AnswerWait::Send(std::uint8_t expected, const Call& send) {
  answered_ = false;
  lost_ = Lost::kNone;
  expected_ = expected;
  std::string thrown;
  const core::Status status = Guarded(send, &thrown);
  if (!core::Succeeded(status)) {
    // No answer comes to a command that did not go out: the wait ends at once.
    outcome_.Fail(package::kErrCommunication,
                  "- " + (thrown.empty() ? core::StatusText(status) : thrown),
                  FailureCause::Internal);
    answered_ = true;
  }
}

void AnswerWait::Wait(const std::function<void()>& onPass, std::chrono::milliseconds silenceLimit,
                      bool silenceLoses) {
  using std::chrono::milliseconds;
  const auto sent = Now();
  // Silence counts from the command or from the instrument's last byte, so
  // that a long answer through a slow adapter is no silence; while an answer
  // frame comes in, the session's per-byte time-out watches it instead.
  const auto silence = [&] {
    const core::LinkActivity activity = Activity();
    return activity.answering ? std::chrono::steady_clock::duration::zero()
                              : Now() - std::max(sent, activity.lastInput);
  };
  core::MessageLoop& loop = core::CurrentMessageLoop();
  while (!answered_ && !stopRequested_) {
    milliseconds slice = onPass ? tick_ : milliseconds(1000);
    if (silenceLimit > kNoIdleTimeout) {
      const auto left = std::chrono::duration_cast<milliseconds>(silenceLimit - silence());
      slice = std::clamp(left, milliseconds(1), slice);
    }
    loop.ProcessEvents(slice);
    if (onPass) onPass();
    if (answered_ || stopRequested_ || silenceLimit <= kNoIdleTimeout || silence() < silenceLimit)
      continue;
    if (!silenceLoses) {
      FailSilent(silenceLimit);
      continue;
    }
    lost_ = Lost::kSilent;
    lostReason_ = "no answer for " + SecondsText(silenceLimit) + " seconds";
    answered_ = true;
  }
}

void AnswerWait::Response(std::uint8_t enumResponseID) {
  if (!app_) return;
  // A stray or mismatched answer (a late answer to an earlier command, say)
  // must never count as the reply to the command in flight: its data belongs
  // to another command, so taking it would report codes of zero or let an
  // erase or a program block pass unchecked. It fails the command in flight
  // with that step's own failure code. The instrument's error report keeps
  // its meaning below.
  if (expected_ != kAnyAnswer && enumResponseID != expected_ && enumResponseID != app::HERROR) {
    outcome_.Fail(FailureCodeFor(expected_), " - unexpected answer H" + HexText(enumResponseID),
                  FailureCause::InstrumentError);
    answered_ = true;
    return;
  }
  std::string thrown;
  Guarded(
      [&](app::IQX_App& a) {
        TakeAnswer(a, enumResponseID);
        return core::Status::Ok;
      },
      &thrown);
  if (!thrown.empty())
    outcome_.Fail(package::kErrCommunication, "- " + thrown, FailureCause::Internal);
  answered_ = true;
}

void AnswerWait::TakeAnswer(app::IQX_App& app, std::uint8_t responseId) {
  const auto instrumentFailed = [&](std::int32_t code, const std::string& detail) {
    outcome_.Fail(code, detail, FailureCause::InstrumentError);
  };
  // An answer the application layer could not take in (a garbled one before
  // it, say) leaves its last error behind.
  const auto appFailed = [&] {
    if (AppLastError() == 0) return false;
    instrumentFailed(package::kErrCommunication, core::Trim(AppErrorText()));
    return true;
  };
  std::int16_t status = 0;
  std::uint32_t failAddress = 0;
  switch (responseId) {
    case app::HMANUFACTURER:
      if (appFailed()) break;
      app.GetManufacturerCode(&manufacturerCode_);
      if (appFailed()) break;
      app.GetFlashType(&deviceCode_);
      appFailed();
      break;
    case app::HPROGPWRON:
      app.GetStatus(&status);
      if (status != app::kStatusPowerOn) instrumentFailed(package::kErrPowerOn, HexText(status));
      break;
    case app::HPROGPWROFF:
      app.GetStatus(&status);
      if (status != app::kStatusPowerOff) instrumentFailed(package::kErrPowerOff, HexText(status));
      break;
    case app::HLESEDATEN:
      app.GetStatus(&status);
      if (status == app::kStatusReadFailed)
        instrumentFailed(package::kErrReadData, HexText(status));
      break;
    case app::HPROGDATEN:
      app.GetProgStatus(&failAddress, &status);
      if (status != app::kStatusProgOk)
        instrumentFailed(package::kErrProgramming, HexText(failAddress));
      break;
    case app::HCHECKSUM:
      if (appFailed()) break;
      app.GetChecksum(&targetChecksum_);
      checksumDelivered_ = !appFailed();
      break;
    case app::HFLASHERASE:
      app.GetEraseStatus(&failAddress, &status);
      if (status != app::kStatusEraseOk)
        instrumentFailed(package::kErrFlashErase, HexText(failAddress));
      break;
    case app::HERROR:
      app.GetStatus(&status);
      if (status != app::kStatusNoError) instrumentFailed(package::kErrGeneral, HexText(status));
      break;
    default:
      break;
  }
}

void AnswerWait::Error(std::int16_t iLastError) {
  const std::string what = std::to_string(iLastError) + " " + core::Trim(AppErrorText());
  // An answer lost on the line is the command's matter (Ask), not yet the run's.
  if (iLastError == app::kErrorAnswerDamaged || iLastError == app::kErrorReadTimeout) {
    const bool damaged = iLastError == app::kErrorAnswerDamaged;
    lost_ = damaged ? Lost::kDamaged : Lost::kEndedEarly;
    lostReason_ = damaged ? "answer damaged on the line" : "answer ended early";
    lostDetail_ = what;
    answered_ = true;
    return;
  }
  if (app::IsNoAnswer(iLastError))
    outcome_.Fail(package::kErrCommunication, what, FailureCause::InstrumentSilent);
  else
    FailLink(port_, what);
  answered_ = true;
}

void AnswerWait::FailLink(const std::string& port, const std::string& what) {
  const auto* link = dynamic_cast<const core::IQX_LinkDiagnostics*>(app_.get());
  const core::LinkDiagnosis diagnosis = link ? link->DiagnoseLink() : core::LinkDiagnosis{};
  if (diagnosis.deviceLost) {
    outcome_.Fail(package::kErrCommunication,
                  "the device " + port + " disappeared: check the USB cable",
                  FailureCause::DeviceLost);
  } else {
    outcome_.Fail(package::kErrCommunication,
                  diagnosis.reason.empty() ? what : what + " (" + diagnosis.reason + ")",
                  FailureCause::PortUnavailable);
  }
  outcome_.SetPortHint(diagnosis.hint);
}

}  // namespace pelvane::upload
