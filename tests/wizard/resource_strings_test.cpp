#include "wizard/logic/resource_strings.h"

#include <gtest/gtest.h>

#include "wizard/logic/navigation.h"

namespace pelvane::wizard {
namespace {

TEST(ResourceStrings, ButtonsAndStepTitles) {
  EXPECT_EQ(LoadResString(100), "Help");
  EXPECT_EQ(LoadResString(101), "Cancel");
  EXPECT_EQ(LoadResString(102), "< &Back");
  EXPECT_EQ(LoadResString(103), "&Next >");
  EXPECT_EQ(LoadResString(104), "&Exit");
  const char* titles[] = {"Select the Firmware to use", "Introduction", "Settings",
                          "Upload Firmware", "Finished!"};
  for (int step = 0; step < kStepCount; ++step)
    EXPECT_EQ(LoadResString(kStepTitleResource[step]), titles[step]) << step;
}

TEST(ResourceStrings, ContinuationJoinsTheNextNumberAndDropsTheMark) {
  EXPECT_EQ(ResourceString(3001).back(), '_');
  EXPECT_EQ(LoadResString(3001),
            "The Pelvane Wizard is finished.\n\nTo exit the Wizard click Exit.");
  // The second half alone has no mark and stands as it is.
  // The text names the button the user sees ("&Exit", 104), not Finish.
  EXPECT_EQ(LoadResString(3002), "To exit the Wizard click Exit.");
}

TEST(ResourceStrings, MissingNumbersGiveEmptyTexts) {
  EXPECT_FALSE(HasResourceString(99));
  EXPECT_EQ(LoadResString(99), "");
  EXPECT_EQ(LoadResString(-1), "");
  EXPECT_EQ(LoadResString(2001), "");
}

TEST(ResourceStrings, NoTextEndsAChainInAGap) {
  // Every text with the continuation mark must be followed by a text, or the
  // window would show half a sentence.
  for (int id = 0; id < 50000; ++id) {
    if (HasResourceString(id) && !ResourceString(id).empty() && ResourceString(id).back() == '_') {
      EXPECT_TRUE(HasResourceString(id + 1)) << id;
    }
  }
}

TEST(ResourceStrings, TagsAreUnsignedDecimalNumbers) {
  int id = 0;
  EXPECT_TRUE(ParseResourceTag("500", &id));
  EXPECT_EQ(id, 500);
  for (const char* bad : {"", " 500", "500 ", "-5", "+5", "5a", "Help", "0x10"})
    EXPECT_FALSE(ParseResourceTag(bad, &id)) << '"' << bad << '"';
  EXPECT_FALSE(ParseResourceTag("99999999999999999999", &id));
}

}  // namespace
}  // namespace pelvane::wizard
