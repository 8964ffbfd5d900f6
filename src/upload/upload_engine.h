// The controller's run: reporting, the upload order and the flash sequence.
// QN_UploadProcess adds the package around it; tests drive it directly with a
// plan, a fake package and a fake application object.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/iqx_app.h"
#include "core/class_registry.h"
#include "core/event_source.h"
#include "upload/failure_cause.h"
#include "upload/qn_upload_process.h"
#include "upload/upload_plan.h"
#include "upload/upload_view.h"

namespace pelvane::upload {

// The largest block one frame carries: a Prog message holds 9 header bytes
// and a read answer 10 in a frame whose length byte counts to 255.
inline constexpr std::int32_t kMaxProgFrameBlock = 246;
inline constexpr std::int32_t kMaxReadFrameBlock = 245;
inline constexpr std::size_t kBlockBufferSize = 4001;

class UploadEngine final : private app::IQX_AppEvents {
 public:
  using Clock = QN_UploadProcess::Clock;

  explicit UploadEngine(const QN_UploadProcess::AppRegistry& apps);
  ~UploadEngine() override;

  // QN_Error of the controller.
  std::int32_t GetLastError() const { return errorCode_; }
  std::string GetLastErrorString() const;
  void SetLastError(std::int32_t code) { errorCode_ = code; }
  // Why the last run failed; None after a success.
  FailureCause Cause() const { return cause_; }
  void SetLastErrorString(const std::string& text) { errorString_ = text; }

  void Cancel();
  bool Upload(UploadPackage& package);

  // Reporting, in the mode chosen by UploadWizard_Running.
  void ReportAction(const std::string& text);
  void AppendStatus(const std::string& text);
  void ReportProgress(const std::string& text, std::int16_t percent);
  void UpdateEntireProgress(std::int32_t value);
  void AnimateTransfer();
  // A summary piece: appended to the confirmation text in the wizard, else
  // raised as an action line.
  void ReportConfiguration(const std::string& piece, bool first);

  core::Status Advise(QN_UploadProcessEvents* listener, core::Cookie* cookie) {
    return listeners_.Advise(listener, cookie);
  }
  core::Status Unadvise(core::Cookie cookie) { return listeners_.Unadvise(cookie); }
  template <class Deliver>
  void Raise(Deliver&& deliver) {
    listeners_.Raise(std::forward<Deliver>(deliver));
  }

  void SetView(QN_UploadView* view) { view_ = view; }
  QN_UploadView* View() const { return view_; }
  void SetWizardRunning() { wizardRunning_ = true; }
  bool WizardMode() const { return wizardRunning_ && view_ != nullptr; }

  std::string port;
  bool transferOnly = false;
  void SetClock(Clock clock) { clock_ = std::move(clock); }
  void SetTick(std::chrono::milliseconds tick) { tick_ = tick; }
  void SetIdleTimeout(std::chrono::milliseconds timeout) { idleTimeout_ = timeout; }
  bool IdleTimedOut() const { return idleTimedOut_; }
  std::int32_t ProgressCounter() const { return progressCounter_; }
  bool RestartsInstrument() const { return !plan_.continueFlag; }
  void SetContinueFlag(bool flag) { plan_.continueFlag = flag; }

  // The flash sequence (also reachable for tests).
  bool ValidateConfiguration(UploadPackage& package);
  bool QueryManufacturers();
  bool DownloadFlashMemories();
  bool EraseFlashMemories();
  bool ProgramFlashMemories(UploadPackage& package);
  void FlashUp_Response(std::uint8_t enumResponseID);
  void FlashUp_Error(std::int16_t iLastError);

 private:
  // IQX_AppEvents of FlashUp.
  void Response(std::uint8_t enumResponseID) override { FlashUp_Response(enumResponseID); }
  void Error(std::int16_t iLastError) override { FlashUp_Error(iLastError); }

  bool CreateFlashUp();
  void ReleaseFlashUp();
  bool TransferProgram(UploadPackage& package);
  void Restart();
  // Sends one command: clears the response flag, remembers the response code
  // the command expects (0: any answer ends the wait), runs `send`, and turns
  // a failure status into an error that ends the wait at once.
  void Send(std::uint8_t expectedResponse, const std::function<core::Status(app::IQX_App&)>& send);
  // Runs the owner thread's loop until an answer, an error, a cancellation or
  // the idle time-out. `onPass` runs after every pass of the loop.
  void WaitForResponse(const std::function<void()>& onPass = {});
  void Fail(std::int32_t code, const std::string& text, FailureCause cause);
  // The transfer program answered with a failure status or out of turn.
  void InstrumentFailed(std::int32_t code, const std::string& text);
  FailureCause TransferFailureCause(app::QUARNEL_ERR verdict) const;
  // A link error that is no missing answer.
  FailureCause PortFailureCause() const;
  std::string AppErrorText();
  std::int16_t AppLastError();
  void TickAnimation();
  void StepPercent(const std::string& text, std::int64_t position, std::int64_t size,
                   std::int32_t* lastPercent);
  enum class DownloadEnd { Done, Cancelled, Failed };
  DownloadEnd DownloadOne(const PlanDownload& download);
  // Stopped: the step ends with its closing line; Failed: at once.
  enum class ProgramEnd { Done, Stopped, Failed };
  ProgramEnd ProgramOne(UploadPackage& package, const PlanProgram& program);
  const PlanMemory* MemoryHolding(std::int32_t start, std::int32_t end) const;
  std::chrono::steady_clock::time_point Now() const { return clock_(); }

  const QN_UploadProcess::AppRegistry& apps_;
  core::EventSource<QN_UploadProcessEvents> listeners_;
  QN_UploadView* view_ = nullptr;
  bool wizardRunning_ = false;

  std::int32_t errorCode_ = 0;
  std::string errorString_;
  FailureCause cause_ = FailureCause::None;

  UploadPlan plan_;
  std::unique_ptr<app::IQX_App> flashUp_;
  core::Cookie flashUpCookie_ = 0;
  bool flashUpAdvised_ = false;

  bool cancelRequested_ = false;
  bool responseArrived_ = false;
  // The response code the command in flight waits for; 0 while any answer will do.
  std::uint8_t expectedResponse_ = 0;
  bool reverseAnimation_ = false;
  int animationFrame_ = 0;
  std::int32_t progressCounter_ = 0;
  std::int32_t lastDrawnProgress_ = 0;
  std::chrono::steady_clock::time_point tickStart_{};
  std::uint32_t manufacturerCode_ = 0;
  std::uint32_t deviceCode_ = 0;
  std::uint32_t targetChecksum_ = 0;

  Clock clock_ = [] { return std::chrono::steady_clock::now(); };
  std::chrono::milliseconds tick_ = kAnimationTick;
  std::chrono::milliseconds idleTimeout_ = kNoIdleTimeout;
  bool idleTimedOut_ = false;
  std::array<std::uint8_t, kBlockBufferSize> blockBuffer_{};
};

}  // namespace pelvane::upload
