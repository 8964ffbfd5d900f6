// The upload screen of the wizard as the upload controller sees it. The Qt
// wizard implements this; the controller writes into it only after
// UploadWizard_Running, and raises its events instead while no view is
// attached. Every call comes on the owner thread, from inside Upload's waits
// too, so an implementation may touch its widgets directly.
#pragma once

#include <cstdint>
#include <string>

namespace pelvane::upload {

class QN_UploadView {
 public:
  virtual ~QN_UploadView() = default;

  // Shows the wizard window (UploadWizard_Running).
  virtual void ShowForm() = 0;

  // lstStep: one more line at the end of the action list.
  virtual void AddStepLine(const std::string& text) = 0;
  // lblStep(2): text appended to the caption as it stands.
  virtual void AppendStepStatus(const std::string& text) = 0;
  // lblStep(4): the caption replaced (the cancellation notice).
  virtual void SetStepCaption4(const std::string& text) = 0;

  // lblActionText and the step progress line lineStep, percent in 0..100
  // (the controller has already limited it).
  virtual void SetActionText(const std::string& text) = 0;
  virtual void SetStepProgress(int percent) = 0;
  // lineEntireProgress: drawn to ScaleWidth / weight * value of pboxEntireProcess.
  virtual void SetEntireProgress(std::int32_t value, std::int32_t weight) = 0;
  // imgStep(3) shows frame `frame` (0..kAnimationFrames-1) of the transfer animation.
  virtual void ShowAnimationFrame(int frame) = 0;

  // cmdNav(2) "< &Back" and cmdNav(3) "&Next >" together.
  virtual void SetNavigationEnabled(bool enabled) = 0;
  // Presses cmdNav(3), which moves the wizard on to its final step.
  virtual void PressNext() = 0;

  // txtReadme.
  virtual void SetReadMe(const std::string& text) = 0;
  // The confirmation text of the settings step: emptied, then pieces appended
  // without separators.
  virtual void ClearConfirmation() = 0;
  virtual void AppendConfirmation(const std::string& piece) = 0;
  // The "ADV_DISPLAY" switch: the configuration summary shows every detail.
  virtual bool AdvancedDisplay() const = 0;
};

inline constexpr int kAnimationFrames = 4;

}  // namespace pelvane::upload
