#include "wizard/logic/navigation.h"

#include <gtest/gtest.h>

namespace pelvane::wizard {
namespace {

TEST(Navigation, BackAndNextByStep) {
  struct Row {
    int step;
    bool back;
    bool next;
  };
  for (Row row : {Row{0, false, true}, Row{1, true, true}, Row{2, true, true}, Row{3, true, true},
                  Row{4, true, false}}) {
    NavigationState state = NavigationFor(row.step, row.step == kStepFinished);
    EXPECT_EQ(state.backEnabled, row.back) << row.step;
    EXPECT_EQ(state.nextEnabled, row.next) << row.step;
  }
}

TEST(Navigation, ExitFollowsTheFinishFlagNotTheStep) {
  EXPECT_TRUE(NavigationFor(4, true).exitEnabled);
  // Back from the finished step: the flag is cleared only after the buttons
  // were set, so Exit is still enabled on step 3.
  EXPECT_TRUE(NavigationFor(3, true).exitEnabled);
  EXPECT_FALSE(NavigationFor(3, false).exitEnabled);
  EXPECT_FALSE(NavigationFor(0, false).exitEnabled);
}

TEST(Navigation, NextReadsExecuteOnTheSettingsStepOnly) {
  for (int step = 0; step < kStepCount; ++step)
    EXPECT_EQ(NavigationFor(step, false).nextCaption,
              step == kStepSettings ? "&Execute >" : "&Next >")
        << step;
}

TEST(Navigation, CaptionCarriesVersionAndStepTitle) {
  EXPECT_EQ(WindowCaption({1, 2, 27}, 2), "Pelvane Wizard V1.2.27 - Settings");
  EXPECT_EQ(WindowCaption({0, 0, 0}, 4), "Pelvane Wizard V0.0.0 - Finished!");
  EXPECT_EQ(WindowCaption({1, 0, 0}, 0), "Pelvane Wizard V1.0.0 - Select the Firmware to use");
}

TEST(Navigation, ProgramVersionIsTheProjectVersion) {
  const Version v = ProgramVersion();
  EXPECT_EQ(
      std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.revision),
      PELVANE_TEST_PROJECT_VERSION);
}

TEST(Navigation, HelpNumbersRunFrom1010To1050) {
  EXPECT_EQ(HelpContextFor(0), 1010);
  EXPECT_EQ(HelpContextFor(4), 1050);
}

}  // namespace
}  // namespace pelvane::wizard
