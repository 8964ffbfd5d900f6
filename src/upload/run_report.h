// What a run shows while it goes: action lines, the step's progress, the
// progress of the whole run and the transfer animation. Into the wizard's
// upload screen once UploadWizard_Running attached it, else as
// QN_UploadProcessEvents; the facts of the run (memory codes, checksums, files
// written) are raised in both modes and kept for the run's outcome.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/event_source.h"
#include "upload/qn_upload_process.h"
#include "upload/upload_view.h"

namespace pelvane::upload {

// The facts of the last run, as they were raised.
struct RunFacts {
  std::vector<MemoryCodes> memories;
  std::vector<VerifyResult> verified;
  std::vector<std::pair<std::string, std::int64_t>> downloads;  // file, bytes
  std::int32_t resends = 0;  // commands sent again after their answer was lost
};

class RunReport {
 public:
  using Clock = QN_UploadProcess::Clock;

  // `clock` is the run's clock; it must outlive this object.
  explicit RunReport(const Clock& clock) : clock_(clock) {}

  core::Status Advise(QN_UploadProcessEvents* listener, core::Cookie* cookie) {
    return listeners_.Advise(listener, cookie);
  }
  core::Status Unadvise(core::Cookie cookie) { return listeners_.Unadvise(cookie); }

  void SetView(QN_UploadView* view) { view_ = view; }
  QN_UploadView* View() const { return view_; }
  void SetWizardRunning() { wizardRunning_ = true; }
  bool WizardMode() const { return wizardRunning_ && view_ != nullptr; }
  void SetTick(std::chrono::milliseconds tick) { tick_ = tick; }

  void Action(const std::string& text);
  void StepProgress(const std::string& text, std::int16_t percent);
  // The step's share of `position` in `size` as a percentage, reported when
  // it has grown beyond `*lastPercent`.
  void StepShare(const std::string& text, std::int64_t position, std::int64_t size,
                 std::int32_t* lastPercent);
  // A piece of the configuration summary: appended to the wizard's summary
  // (emptied first for the first piece), else an action line.
  void SummaryPiece(const std::string& piece, bool first);
  void Cancelled();

  void MemoryIdentified(const MemoryCodes& codes);
  void ProgramVerified(const ProgramChecksum& record);
  void DownloadWritten(const std::string& filename, std::int64_t bytes, const std::string& sha256);
  void ProgramReadBack(const VerifyResult& result);
  void BootMonitorWait(std::chrono::milliseconds limit);
  void CommandResent(const Resend& resend);
  void AdapterSlow(const SlowAdapter& slow);
  const RunFacts& Facts() const { return facts_; }

  // The whole run's progress, in seconds of the run's estimate: StartRun
  // begins a run (nothing estimated yet), SetEstimate gives its total, and
  // each exchange done adds its share. Drawn into the wizard's bar and
  // raised as OverallProgress.
  void StartRun();
  void SetEstimate(double seconds);
  void Done(double seconds);
  // A run that went through: the whole bar, whatever the estimate missed.
  void Completed();
  // Data bytes the current step has moved (programmed, read back).
  void StepBytes(std::int64_t bytes) { stepBytes_ += bytes; }
  // A command's round trip, for those who asked to see it.
  void CommandTimed(const std::string& command, double seconds);

  // The transfer animation: one frame per call, backwards while reading back.
  void Animate();
  void SetReverse(bool reverse) { reverse_ = reverse; }
  void RestartTick() { tickStart_ = clock_(); }
  // True once each tick (kAnimationTick unless set).
  bool TickDue();
  void Tick() {
    if (TickDue()) Animate();
  }

  // The wizard's buttons stay off while a run lasts; at its end the wizard
  // moves on to the result step.
  void LockNavigation();
  void UnlockNavigation();
  void ShowResult();

 private:
  template <class Deliver>
  void Raise(Deliver&& deliver) {
    listeners_.Raise(std::forward<Deliver>(deliver));
  }

  void DrawProgress();

  const Clock& clock_;
  core::EventSource<QN_UploadProcessEvents> listeners_;
  QN_UploadView* view_ = nullptr;
  bool wizardRunning_ = false;
  RunFacts facts_;
  std::chrono::steady_clock::time_point runStart_{};
  double estimate_ = 0;
  double done_ = 0;
  std::int32_t lastDrawn_ = -1;  // the wizard bar's value; -1: not drawn yet
  std::string step_;
  std::chrono::steady_clock::time_point stepStart_{};
  std::int64_t stepBytes_ = 0;
  bool reverse_ = false;
  int frame_ = 0;
  std::chrono::milliseconds tick_ = kAnimationTick;
  std::chrono::steady_clock::time_point tickStart_{};
};

}  // namespace pelvane::upload
