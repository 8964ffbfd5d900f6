#include "package/item_parsing.h"

#include <gtest/gtest.h>

#include "package/qn_error.h"

namespace pelvane::package {
namespace {

TEST(NumericField, HexAndDecimalSpellingsGiveTheSameValue) {
  EXPECT_EQ(ParseNumericField("0x1F000"), 126976);
  EXPECT_EQ(ParseNumericField("0X1F000"), 126976);
  EXPECT_EQ(ParseNumericField("0x1f000"), 126976);
  EXPECT_EQ(ParseNumericField("126976"), 126976);
  EXPECT_EQ(ParseNumericField("  42 "), 42);
  EXPECT_EQ(ParseNumericField("-42"), -42);
}

TEST(NumericField, HexIsAThirtyTwoBitPattern) {
  EXPECT_EQ(ParseNumericField("0xFFFFFFFF"), -1);
  EXPECT_EQ(ParseNumericField("0x80000000"), INT32_MIN);
  EXPECT_EQ(ParseNumericField("0x7FFFFFFF"), INT32_MAX);
  EXPECT_EQ(ParseNumericField("0x00000010"), 16);
  EXPECT_EQ(ParseNumericField("0x100000000"), std::nullopt);  // nine digits
}

TEST(NumericField, TextThatDoesNotConvertIsRefused) {
  for (const char* bad : {"", " ", "abc", "0x", "0xG1", "12abc", "1 2", "10x5", "+", "-",
                          "2147483648", "-2147483649", "99999999999999999999", "1.5"}) {
    EXPECT_EQ(ParseNumericField(bad), std::nullopt) << "'" << bad << "'";
  }
  EXPECT_EQ(ParseNumericField("2147483647"), INT32_MAX);
  EXPECT_EQ(ParseNumericField("-2147483648"), INT32_MIN);
}

TEST(ItemFields, AreTrimmedAndAMissingNumericFieldDoesNotConvert) {
  const auto fields = SplitItemFields(" 0x10 ,\t20 ");
  ASSERT_EQ(fields.size(), 2u);
  EXPECT_EQ(fields[1], "20");
  EXPECT_EQ(NumericFieldAt(fields, 0), 16);
  EXPECT_EQ(NumericFieldAt(fields, 1), 20);
  EXPECT_EQ(NumericFieldAt(fields, 2), std::nullopt);
  EXPECT_EQ(SplitItemFields("").size(), 1u);
}

TEST(FileNameField, AbsoluteNamesAreKeptOthersGetTheSourcePath) {
  EXPECT_EQ(ResolveFileName("C:\\out\\dump.bin", "src\\"), "C:\\out\\dump.bin");
  EXPECT_EQ(ResolveFileName("\\out\\dump.bin", "src\\"), "\\out\\dump.bin");
  EXPECT_EQ(ResolveFileName("dump.bin", "src\\"), "src\\dump.bin");
  EXPECT_EQ(ResolveFileName("dump.bin", "src"), "srcdump.bin");  // no separator is added
  EXPECT_EQ(ResolveFileName("dump.bin", ""), "dump.bin");
}

TEST(EndAddressRule, IsStartPlusLengthAndRefusesOverflow) {
  EXPECT_EQ(EndAddress(0x400000, 0x100000), 0x500000);
  EXPECT_EQ(EndAddress(INT32_MAX, 1), std::nullopt);
  EXPECT_EQ(EndAddress(INT32_MIN, -1), std::nullopt);
  EXPECT_EQ(EndAddress(INT32_MAX - 1, 1), INT32_MAX);
}

TEST(HexText, UpperCaseWithoutLeadingZerosNegativeAsTwosComplement) {
  EXPECT_EQ(Hex(255), "FF");
  EXPECT_EQ(Hex(0), "0");
  EXPECT_EQ(Hex(-1), "FFFFFFFF");
  EXPECT_EQ(Hex(0x400000), "400000");
}

TEST(ErrorHolder, TextIsResourceTextFollowedByDetail) {
  QN_Error error;
  EXPECT_EQ(error.GetLastError(), 0);
  EXPECT_EQ(error.GetLastErrorString(), "OK");
  error.SetLastError(14);
  error.SetLastErrorString(" /X");
  EXPECT_EQ(error.GetLastErrorString(), "Invalid command line switch /X");
  // A new code replaces the old one; the detail stays until rewritten.
  error.SetLastError(7);
  EXPECT_EQ(error.GetLastErrorString(), "Mermory Entry Inalid /X");
  error.SetLastError(0);
  error.SetLastErrorString("");
  EXPECT_EQ(error.GetLastErrorString(), "OK");
}

TEST(ErrorHolder, EveryCodeHasItsText) {
  const char* texts[] = {"OK",
                         "Filename Invalid",
                         "Flash Memory Name Invalid",
                         "Architecture Invalid",
                         "Processor Name Invalid",
                         "Configuration File Invalid",
                         "Configuration File Key Not Found",
                         "Mermory Entry Inalid",
                         "Erase Entry Invalid",
                         "Upload Entry Invalid",
                         "Program Entry Invalid",
                         "Process Cancelled by User",
                         "Configuration failed Validation Checks",
                         "Transfer Entry invalid",
                         "Invalid command line switch"};
  for (int code = 0; code <= 14; ++code) EXPECT_EQ(ErrorResourceText(code), texts[code]);
  EXPECT_EQ(ErrorResourceText(110), "Error occurred uploading the Transfer Program ");
  EXPECT_EQ(ErrorResourceText(15), "");
}

}  // namespace
}  // namespace pelvane::package
