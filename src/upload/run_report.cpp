#include "upload/run_report.h"

#include <algorithm>
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
  Raise([&](QN_UploadProcessEvents& l) { l.MemoryIdentified(codes); });
}

void RunReport::ProgramVerified(const ProgramChecksum& record) {
  Raise([&](QN_UploadProcessEvents& l) { l.ProgramVerified(record); });
}

void RunReport::DownloadWritten(const std::string& filename, std::int64_t bytes,
                                const std::string& sha256) {
  Raise([&](QN_UploadProcessEvents& l) { l.DownloadWritten(filename, bytes, sha256); });
}

void RunReport::ProgramReadBack(const VerifyResult& result) {
  Raise([&](QN_UploadProcessEvents& l) { l.ProgramReadBack(result); });
}

void RunReport::BootMonitorWait(std::chrono::milliseconds limit) {
  Raise([&](QN_UploadProcessEvents& l) { l.BootMonitorWait(limit); });
}

void RunReport::CommandResent(const Resend& resend) {
  Raise([&](QN_UploadProcessEvents& l) { l.CommandResent(resend); });
}

void RunReport::AdapterSlow(const SlowAdapter& slow) {
  Raise([&](QN_UploadProcessEvents& l) { l.AdapterSlow(slow); });
}

void RunReport::StartRun(std::int32_t weight) {
  weight_ = weight;
  counter_ = 0;
  lastDrawn_ = 0;
}

void RunReport::Advance(std::int32_t units) {
  counter_ += units;
  DrawCounter();
}

void RunReport::DrawCounter() {
  if (!WizardMode() || counter_ < 0) return;
  // Redrawing costs more than the run gains from it: only when the counter has
  // grown by a hundredth of itself.
  if (static_cast<double>(counter_) <
      static_cast<double>(counter_) / 100.0 + static_cast<double>(lastDrawn_))
    return;
  view_->ShowOverallProgress(counter_, weight_);
  lastDrawn_ = counter_;
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

void RunReport::ShowResult() {
  if (!WizardMode()) return;
  view_->EnableNavigation(true);
  view_->ShowResult();
}

}  // namespace pelvane::upload
