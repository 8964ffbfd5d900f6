#include "wizard/logic/navigation.h"

#include "wizard/logic/resource_strings.h"

#ifndef PELVANE_VERSION_MAJOR
#error "the build passes the project version as PELVANE_VERSION_MAJOR/MINOR/PATCH"
#endif

namespace pelvane::wizard {

NavigationState NavigationFor(int step, bool finishFlag) {
  NavigationState state;
  state.backEnabled = step != kStepSelect;
  state.nextEnabled = step != kStepFinished;
  state.exitEnabled = finishFlag;
  state.nextCaption = step == kStepSettings ? "&Execute >" : LoadResString(res::kNext);
  return state;
}

Version ProgramVersion() {
  return {PELVANE_VERSION_MAJOR, PELVANE_VERSION_MINOR, PELVANE_VERSION_PATCH};
}

std::string WindowCaption(const Version& version, int step) {
  std::string caption = "Pelvane Wizard V" + std::to_string(version.major) + "." +
                        std::to_string(version.minor) + "." + std::to_string(version.revision) +
                        " - ";
  if (step >= 0 && step < kStepCount) caption += LoadResString(kStepTitleResource[step]);
  return caption;
}

int HelpContextFor(int step) {
  return (step + 1) * 10 + 1000;
}

}  // namespace pelvane::wizard
