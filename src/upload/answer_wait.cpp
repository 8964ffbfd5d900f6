#include "upload/answer_wait.h"

#include <algorithm>

#include "core/class_ids.h"
#include "core/link_diagnosis.h"
#include "core/message_loop.h"
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

// The command whose answer is `expected`, by the name of its operation.
const char* CommandName(std::uint8_t expected) {
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
      return "ProgEnd";
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

void AnswerWait::StartRun() {
  stopRequested_ = false;
  idleTimedOut_ = false;
  manufacturerCode_ = 0;
  deviceCode_ = 0;
  ClearChecksum();
}

bool AnswerWait::Exchange(std::uint8_t expected, const Call& send,
                          const std::function<void()>& onPass) {
  const auto start = Now();
  Send(expected, send);
  Wait(onPass);
  report_.CommandTimed(CommandName(expected), std::chrono::duration<double>(Now() - start).count());
  return !outcome_.HasError();
}

void AnswerWait::Send(std::uint8_t expected, const Call& send) {
  answered_ = false;
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

void AnswerWait::Wait(const std::function<void()>& onPass) {
  using std::chrono::milliseconds;
  const auto sent = Now();
  core::MessageLoop& loop = core::CurrentMessageLoop();
  while (!answered_ && !stopRequested_) {
    milliseconds slice = onPass ? tick_ : milliseconds(1000);
    if (idleTimeout_ > kNoIdleTimeout) {
      const auto left = std::chrono::duration_cast<milliseconds>(idleTimeout_ - (Now() - sent));
      slice = std::clamp(left, milliseconds(1), slice);
    }
    loop.ProcessEvents(slice);
    if (onPass) onPass();
    if (!answered_ && !stopRequested_ && idleTimeout_ > kNoIdleTimeout &&
        Now() - sent >= idleTimeout_) {
      // A dropped answer (its checksum failed, say) ends no wait by itself.
      idleTimedOut_ = true;
      report_.Action("The instrument stopped answering (no answer for " +
                     SecondsText(idleTimeout_) + " seconds)");
      outcome_.Fail(package::kErrCommunication, "idle time-out: the instrument stopped answering",
                    FailureCause::InstrumentSilent);
      stopRequested_ = true;
    }
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
    instrumentFailed(package::kErrCommunication, Trim(AppErrorText()));
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
  const std::string what = std::to_string(iLastError) + " " + Trim(AppErrorText());
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
