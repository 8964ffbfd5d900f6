#include <gtest/gtest.h>

#include "package/package_loader.h"
#include "package_fixture.h"
#include "ports/kind/device_name.h"

namespace pelvane::package {
namespace {

using test::ScriptedPrompt;

class SummaryTest : public test::PackageTest {};

// The device a COM name opens, where that name is not a device itself (on
// Linux COM1 is /dev/ttyS0; on Windows COM1 is the device).
std::string Device(const std::string& linuxDevice) {
  return ports::IsDevicePath("COM1") ? "" : " (" + linuxDevice + ")";
}

TEST_F(SummaryTest, ExamplePackagePlainAndAdvanced) {
  QN_PackageLoader loader;
  ScriptedPrompt prompt;
  PackageConfiguration c;
  ASSERT_TRUE(loader.Load(PELVANE_EXAMPLE_PACKAGE, prompt, c)) << loader.GetLastErrorString();

  const std::string connect =
      "Please connect your instrument using a Serial Cable (null modem) to COM1 and then switch "
      "on your instrument whilst pressing the number 5";
  EXPECT_EQ(ConfigurationSummary(c, false), std::vector<std::string>{connect});

  std::vector<std::string> expected = {
      connect,
      " ",
      "Communications Channel = COM1",
      "At BAUD rate = 115200",
      "Instrument Processor = I80X86",
      "Instrument Architecture = B16 (2)",
      "Restart Instrument",
      "Firmware Language = ENGLISH",
      "Transfer Program = XFER.BIN",
      "Flash Memory=AM29F040 (16) 400000~ H480000: H80000",
      "Flash Memory=AM29F040 (16) 480000~ H500000: H80000",
      "Erase=H400000~410000:10000",
      "Erase=H480000~490000:10000",
      "Download=example-calibration.bin  4F0000~4F0200:200",
      "Program=BOOT.BIN  400000~400424:424",
      "Program=TEXT_EN.BIN  480000~4801F4:1F4",
  };
  EXPECT_EQ(ConfigurationSummary(c, true), expected);
}

TEST_F(SummaryTest, ConnectionInstructionByPortAndKey) {
  PackageConfiguration c;
  c.port = "GPIB";
  EXPECT_EQ(ConfigurationSummary(c, false)[0],
            "Please connect your instrument using a GPIB Cable and then switch on your instrument "
            "whilst pressing the number 6");
  c.keyText = "LOCAL key";
  EXPECT_EQ(ConfigurationSummary(c, false)[0],
            "Please connect your instrument using a GPIB Cable and then switch on your instrument "
            "whilst pressing the LOCAL key");
  c.port = "com2";
  c.keyText = "";
  const std::string then = " and then switch on your instrument whilst pressing the number 5";
  EXPECT_EQ(ConfigurationSummary(c, false)[0],
            "Please connect your instrument using a Serial Cable (null modem) to com2" + then);

  // As a run tells it: the device a COM name opens on this computer, the
  // default line's for a name that says neither serial nor GPIB; a device
  // path names its device itself.
  EXPECT_EQ(ConfigurationSummary(c, false, true)[0],
            "Please connect your instrument using a Serial Cable (null modem) to com2" +
                Device("/dev/ttyS1") + then);
  c.port = "LINE";
  EXPECT_EQ(ConfigurationSummary(c, false, true)[0],
            "Please connect your instrument using a Serial Cable (null modem) to LINE (" +
                ports::DeviceOfPort("COM1") + ")" + then);
  c.port = ports::IsDevicePath("COM1") ? "COM7" : "/dev/ttyUSB0";
  EXPECT_EQ(ConfigurationSummary(c, false, true)[0],
            "Please connect your instrument using a Serial Cable (null modem) to " + c.port + then);

  // A GPIB port has no baud-rate line; a set continue flag no restart line;
  // negative numbers are shown as their 32-bit pattern.
  c.port = "GPIB0";
  c.continueFlag = true;
  QN_Erase erase;
  ASSERT_TRUE(erase.Init("-16,16"));
  c.erases.push_back(erase);
  auto pieces = ConfigurationSummary(c, true);
  for (const auto& piece : pieces) {
    EXPECT_EQ(piece.find("BAUD"), std::string::npos);
    EXPECT_NE(piece, "Restart Instrument");
  }
  EXPECT_EQ(pieces.back(), "Erase=HFFFFFFF0~0:10");
}

}  // namespace
}  // namespace pelvane::package
