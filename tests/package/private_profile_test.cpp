#include "package/private_profile.h"

#include <gtest/gtest.h>

namespace pelvane::package {
namespace {

TEST(PrivateProfile, SectionsAndKeysMatchWithoutRegardToCase) {
  PrivateProfile profile("[Host]\r\nBaud = 9600 \r\n[target]\nprocessor=I80X86\n");
  EXPECT_EQ(profile.Get("HOST", "BAUD"), "9600");
  EXPECT_EQ(profile.Get("host", "baud"), "9600");
  EXPECT_EQ(profile.Get("TARGET", "PROCESSOR"), "I80X86");
  EXPECT_EQ(profile.Get("TARGET", "BAUD"), std::nullopt);
  EXPECT_EQ(profile.Get("NONE", "X"), std::nullopt);
  EXPECT_TRUE(profile.HasSection("Target"));
}

TEST(PrivateProfile, FirstSectionAndFirstKeyWin) {
  PrivateProfile profile("[A]\nK=1\nk=2\n[B]\nK=3\n[a]\nK=4\nNEW=5\n");
  EXPECT_EQ(profile.Get("A", "K"), "1");
  EXPECT_EQ(profile.Get("A", "NEW"), std::nullopt);
  EXPECT_EQ(profile.Get("B", "K"), "3");
}

TEST(PrivateProfile, CommentsQuotesEmptyValuesAndOddLines) {
  PrivateProfile profile(
      "\xEF\xBB\xBF"
      "K0=before any section\n"
      "[S]\n"
      "; a comment line\n"
      "Q=\"quoted value\"\n"
      "E=\n"
      "no equals sign here\n"
      "V=a=b ; c\n"
      "[ Spaced ]\n"
      "X=1");
  EXPECT_EQ(profile.Get("", "K0"), std::nullopt);
  EXPECT_EQ(profile.Get("S", "Q"), "quoted value");
  EXPECT_EQ(profile.Get("S", "E"), "");
  EXPECT_EQ(profile.Get("S", "V"), "a=b ; c");  // comments are the key reader's business
  EXPECT_EQ(profile.Get("Spaced", "X"), "1");
  EXPECT_EQ(profile.Get("S", "no equals sign here"), std::nullopt);
}

TEST(PrivateProfile, LongValuesAreReadWhole) {
  std::string value(1000, 'v');
  PrivateProfile profile("[S]\nK=" + value + "\n");
  EXPECT_EQ(profile.Get("S", "K"), value);
}

}  // namespace
}  // namespace pelvane::package
