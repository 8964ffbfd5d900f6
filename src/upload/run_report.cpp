#include "upload/run_report.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "core/trace.h"

namespace pelvane::upload {

void RunReport::Action(const std::string& text) {
  core::trace::Note("action", text);
  if (WizardMode()) {
    view_->ShowAction(text);
    return;
  }
  Raise([&](QN_UploadProcessEvents& l) {
    std::string copy = text;
    l.ActionUpdate(copy);
  });
}

void RunReport::StepProgress(const std::string& text, std::int16_t percent) {
  if (text != step_) {
    step_ = text;
    stepStart_ = clock_();
    stepBytes_ = 0;
  }
  if (WizardMode()) {
    view_->ShowStepProgress(text, std::clamp<int>(percent, 0, 100));
    return;
  }
  Raise([&](QN_UploadProcessEvents& l) {
    std::string copy = text;
    std::int16_t value = percent;
    l.ProgressUpdate(copy, value);
  });
}

void RunReport::StepShare(const std::string& text, std::int64_t position, std::int64_t size,
                          std::int32_t* lastPercent) {
  // An empty file is done at once: its share counts as whole.
  // Never above the whole, whatever an answer delivered.
  const double share =
      size > 0 ? std::min(1.0, static_cast<double>(position) / static_cast<double>(size)) : 1.0;
  const auto percent = static_cast<std::int32_t>(std::nearbyint(share * 100.0 - 1.0));
  if (percent > *lastPercent) {
    StepProgress(text, static_cast<std::int16_t>(percent));
    *lastPercent = percent;
  }
}

void RunReport::SummaryPiece(const std::string& piece, bool first) {
  if (WizardMode()) {
    if (first) view_->ClearSummary();
    view_->AppendSummary(piece);
    return;
  }
  Action(piece);
}

void RunReport::Cancelled() {
  if (WizardMode())
    view_->ShowCancellation("Firmware Upload Cancelled");
  else
    Action("Upload Cancel Received");
}

void RunReport::MemoryIdentified(const MemoryCodes& codes) {
  facts_.memories.push_back(codes);
  Raise([&](QN_UploadProcessEvents& l) { l.MemoryIdentified(codes); });
}

void RunReport::ProgramVerified(const ProgramChecksum& record) {
  Raise([&](QN_UploadProcessEvents& l) { l.ProgramVerified(record); });
}

void RunReport::DownloadWritten(const std::string& filename, std::int64_t bytes,
                                const std::string& sha256) {
  facts_.downloads.emplace_back(filename, bytes);
  Raise([&](QN_UploadProcessEvents& l) { l.DownloadWritten(filename, bytes, sha256); });
}

void RunReport::ProgramReadBack(const VerifyResult& result) {
  facts_.verified.push_back(result);
  Raise([&](QN_UploadProcessEvents& l) { l.ProgramReadBack(result); });
}

void RunReport::BootMonitorWait(std::chrono::milliseconds limit) {
  Raise([&](QN_UploadProcessEvents& l) { l.BootMonitorWait(limit); });
}

void RunReport::CommandResent(const Resend& resend) {
  ++facts_.resends;
  Raise([&](QN_UploadProcessEvents& l) { l.CommandResent(resend); });
}

void RunReport::AdapterSlow(const SlowAdapter& slow) {
  Raise([&](QN_UploadProcessEvents& l) { l.AdapterSlow(slow); });
}

void RunReport::StartRun() {
  facts_ = {};
  runStart_ = clock_();
  estimate_ = 0;
  done_ = 0;
  lastDrawn_ = -1;
  step_.clear();
  stepStart_ = runStart_;
  stepBytes_ = 0;
}

void RunReport::SetEstimate(double seconds) {
  estimate_ = seconds;
  lastDrawn_ = -1;
  DrawProgress();
}

void RunReport::Done(double seconds) {
  done_ += seconds;
  DrawProgress();
}

void RunReport::Completed() {
  if (estimate_ <= 0 || done_ >= estimate_) return;
  done_ = estimate_;
  lastDrawn_ = -1;  // drawn whatever was drawn last
  DrawProgress();
}

void RunReport::DrawProgress() {
  if (estimate_ <= 0) return;
  const double fraction = std::clamp(done_ / estimate_, 0.0, 1.0);
  if (WizardMode()) {
    // The bar counts milliseconds of the estimate. Redrawing costs more than
    // the run gains from it: only when the value has grown by a hundredth
    // of itself since the last drawing (and at the start).
    constexpr double kUnitsPerSecond = 1000;
    const auto whole = static_cast<std::int32_t>(
        std::clamp(std::ceil(estimate_ * kUnitsPerSecond), 1.0, static_cast<double>(INT32_MAX)));
    const auto value = static_cast<std::int32_t>(std::floor(fraction * whole));
    if (lastDrawn_ < 0 || value >= value / 100.0 + lastDrawn_) {
      view_->ShowOverallProgress(value, whole);
      lastDrawn_ = value;
    }
    return;
  }
  const auto now = clock_();
  RunProgress progress;
  progress.fraction = fraction;
  progress.elapsedSeconds = std::chrono::duration<double>(now - runStart_).count();
  // The estimate's remainder at the pace the run has kept so far, once it
  // has done enough to tell a pace.
  const double left = std::max(0.0, estimate_ - done_);
  progress.secondsLeft =
      fraction >= 0.05 && done_ > 0 ? left * progress.elapsedSeconds / done_ : left;
  progress.step = step_;
  progress.stepBytes = stepBytes_;
  progress.stepSeconds = std::chrono::duration<double>(now - stepStart_).count();
  Raise([&](QN_UploadProcessEvents& l) { l.OverallProgress(progress); });
}

void RunReport::CommandTimed(const std::string& command, double seconds) {
  Raise([&](QN_UploadProcessEvents& l) { l.CommandTimed(command, seconds); });
}

void RunReport::Animate() {
  if (!WizardMode()) return;
  view_->ShowAnimationFrame(frame_);
  if (reverse_)
    frame_ = frame_ == 0 ? kAnimationFrames - 1 : frame_ - 1;
  else
    frame_ = (frame_ + 1) % kAnimationFrames;
}

bool RunReport::TickDue() {
  const auto now = clock_();
  if (now - tickStart_ < tick_) return false;
  tickStart_ = now;
  return true;
}

void RunReport::LockNavigation() {
  if (WizardMode()) view_->EnableNavigation(false);
}

void RunReport::UnlockNavigation() {
  if (WizardMode()) view_->EnableNavigation(true);
}

void RunReport::ShowResult() {
  if (!WizardMode()) return;
  view_->EnableNavigation(true);
  view_->ShowResult();
}

}  // namespace pelvane::upload
