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
  virtual void ShowWizard() = 0;

  // One more line at the end of the action list.
  virtual void ShowAction(const std::string& text) = 0;
  // The step's caption says that the run was cancelled.
  virtual void ShowCancellation(const std::string& text) = 0;
  // What the step does and how far it is, percent in 0..100 (the controller
  // has already limited it).
  virtual void ShowStepProgress(const std::string& text, int percent) = 0;
  // The bar of the whole run: `value` of `weight`.
  virtual void ShowOverallProgress(std::int32_t value, std::int32_t weight) = 0;
  // Frame `frame` (0..kAnimationFrames-1) of the transfer animation.
  virtual void ShowAnimationFrame(int frame) = 0;

  // The Back and Next buttons together: off while a run lasts.
  virtual void EnableNavigation(bool enabled) = 0;
  // Moves the wizard on to its final step, which shows the run's result.
  virtual void ShowResult() = 0;

  // The package's read-me text.
  virtual void ShowReadMe(const std::string& text) = 0;
  // The configuration summary of the settings step: emptied, then pieces
  // appended without separators.
  virtual void ClearSummary() = 0;
  virtual void AppendSummary(const std::string& piece) = 0;
  // The "ADV_DISPLAY" switch: the configuration summary shows every detail.
  virtual bool AdvancedDisplay() const = 0;
};

inline constexpr int kAnimationFrames = 4;

}  // namespace pelvane::upload
