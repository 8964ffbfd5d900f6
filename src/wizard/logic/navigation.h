// The rules of the wizard's five steps that do not depend on widgets: which
// navigation buttons a step enables, the window caption, and the text of the
// Next button. The window applies them in ShowStep.
#pragma once

#include <array>
#include <string>

namespace pelvane::wizard {

inline constexpr int kStepCount = 5;
inline constexpr int kStepSelect = 0;
inline constexpr int kStepIntroduction = 1;
inline constexpr int kStepSettings = 2;
inline constexpr int kStepUpload = 3;
inline constexpr int kStepFinished = 4;

// How a step is entered: 0 none, 1 back, 2 next (the numbers are part of the
// window's interface).
enum class Direction { None = 0, Back = 1, Next = 2 };

// Navigation buttons by index.
enum class NavButton { Help = 0, Cancel = 1, Back = 2, Next = 3, Exit = 4 };
inline constexpr int kNavButtonCount = 5;

// Resource number of each step frame's tag, which is also its title.
inline constexpr std::array<int, kStepCount> kStepTitleResource{500, 1000, 2000, 2002, 3000};

struct NavigationState {
  bool backEnabled = false;
  bool nextEnabled = false;
  bool exitEnabled = false;  // and Exit takes the focus
  // Help and Cancel are enabled on every step.
  std::string nextCaption;
};

// The buttons for `step` (0..4) with the finish flag as it stands after the
// step was recorded (step 4 sets it before the buttons are set).
NavigationState NavigationFor(int step, bool finishFlag);

struct Version {
  int major = 0;
  int minor = 0;
  int revision = 0;
};

// The program's own version, from the project version at build time.
Version ProgramVersion();

// "Pelvane Wizard V1.2.27 - Settings".
std::string WindowCaption(const Version& version, int step);

// The Help request's number for a step: (step + 1) * 10 + 1000, which also
// names the step's section of the help page.
int HelpContextFor(int step);

}  // namespace pelvane::wizard
