// The report's number and time texts.
#include "upload/report_text.h"

#include <gtest/gtest.h>

namespace pelvane::upload {
namespace {

TEST(ReportText, HexadecimalIsUpperCaseWithoutLeadingZeros) {
  EXPECT_EQ(HexText(0), "0");
  EXPECT_EQ(HexText(255), "FF");
  EXPECT_EQ(HexText(0x00100000), "100000");
  EXPECT_EQ(HexText(-1), "FFFFFFFF");
  EXPECT_EQ(HexText(-256), "FFFFFF00");
  EXPECT_EQ(HexText(0xA4), "A4");
}

TEST(ReportText, ElapsedTimeInMinutesAndSeconds) {
  EXPECT_EQ(CompletedText(125), "Firmware Upload Process completed in 2 Minutes 5 Seconds");
  EXPECT_EQ(CompletedText(59), "Firmware Upload Process completed in 0 Minutes 59 Seconds");
  EXPECT_EQ(CompletedText(120), "Firmware Upload Process completed in 2 Minutes 0 Seconds");
}

TEST(ReportText, SpeedsThatDivide115200) {
  for (int baud : {9600, 14400, 19200, 38400, 57600, 115200}) EXPECT_TRUE(SpeedValid(baud));
  for (int baud : {56000, 0, -9600, 230400}) EXPECT_FALSE(SpeedValid(baud));
}

}  // namespace
}  // namespace pelvane::upload
