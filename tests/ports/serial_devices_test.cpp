#include "ports/serial_devices.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

namespace pelvane::ports {
namespace {

namespace fs = std::filesystem;

class SerialDevicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/pelvane-dev-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dev_ = name;
  }
  void TearDown() override { fs::remove_all(dev_); }
  void Touch(const std::string& name) { std::ofstream(dev_ / name).put('\0'); }
  fs::path dev_;
};

TEST_F(SerialDevicesTest, FindsSerialDevicesInNaturalOrderWithoutEmptyUartSlots) {
  for (const char* name : {"ttyUSB10", "ttyUSB2", "ttyACM0", "ttyS0", "ttyS1", "tty1", "null"})
    Touch(name);
  // sysfs says that no UART answers at ttyS0 (type 0); ttyS1 is a 16550A.
  for (auto [name, type] : {std::pair{"ttyS0", "0"}, std::pair{"ttyS1", "4"}}) {
    fs::create_directories(dev_ / "sys" / name);
    std::ofstream(dev_ / "sys" / name / "type") << type << "\n";
  }
  const auto devices = FindSerialDevices(dev_, SystemDeviceAccess, dev_ / "sys");
  ASSERT_EQ(devices.size(), 4u);
  EXPECT_EQ(devices[0].path, (dev_ / "ttyACM0").string());
  EXPECT_EQ(devices[1].path, (dev_ / "ttyS1").string());
  EXPECT_EQ(devices[2].path, (dev_ / "ttyUSB2").string());
  EXPECT_EQ(devices[3].path, (dev_ / "ttyUSB10").string());
  for (const auto& device : devices) EXPECT_EQ(device.description + device.stablePath, "");
  // Without sysfs every ttyS name counts, as in a container.
  EXPECT_EQ(FindSerialDevices(dev_, SystemDeviceAccess, dev_ / "absent").size(), 5u);
}

TEST_F(SerialDevicesTest, ByIdLinksDescribeTheirDevicesAndAddOthers) {
  Touch("ttyUSB0");
  Touch("ttyS4");
  fs::create_directories(dev_ / "serial" / "by-id");
  fs::create_symlink("../../ttyUSB0",
                     dev_ / "serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2-if00-port0");
  fs::create_symlink("../../ttyS4", dev_ / "serial/by-id/pci-Moxa_CP-102-if01");
  fs::create_directories(dev_ / "serial/by-id/not-a-link");
  const auto devices = FindSerialDevices(dev_);
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].path, (dev_ / "ttyS4").string());
  EXPECT_EQ(devices[0].description, "Moxa CP-102");
  EXPECT_EQ(devices[1].path, (dev_ / "ttyUSB0").string());
  EXPECT_EQ(devices[1].description, "FTDI FT232R USB UART A1B2");
  EXPECT_EQ(devices[1].stablePath,
            (dev_ / "serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2-if00-port0").string());
}

TEST_F(SerialDevicesTest, DevicesTheUserMayNotOpenSayHowToJoinTheirGroup) {
  for (const char* name : {"ttyUSB0", "ttyUSB1", "ttyACM0"}) Touch(name);
  // ttyUSB0 is refused, ttyACM0 fails for another reason, ttyUSB1 may be used.
  const auto refusal = [this](const std::string& path) {
    if (path == (dev_ / "ttyUSB0").string()) return EACCES;
    if (path == (dev_ / "ttyACM0").string()) return EIO;
    return 0;
  };
  const auto devices = FindSerialDevices(dev_, refusal);
  ASSERT_EQ(devices.size(), 3u);
  EXPECT_EQ(devices[0].accessHint, "");
  EXPECT_NE(devices[1].accessHint.find("sudo usermod -aG "), std::string::npos)
      << devices[1].accessHint;
  EXPECT_EQ(devices[2].accessHint, "");

  SerialDevice adapter;
  adapter.path = "/dev/ttyUSB0";
  adapter.description = "FTDI FT232R USB UART A1";
  EXPECT_EQ(PortNote(adapter), "FTDI FT232R USB UART A1");
  adapter.accessHint = "add your user to the 'dialout' group";
  EXPECT_EQ(PortNote(adapter),
            "FTDI FT232R USB UART A1\nYou may not open /dev/ttyUSB0 yet: add your user to the "
            "'dialout' group.");
  adapter.description.clear();
  EXPECT_EQ(PortNote(adapter),
            "You may not open /dev/ttyUSB0 yet: add your user to the 'dialout' group.");
}

TEST_F(SerialDevicesTest, MissingFolderGivesNoDevices) {
  EXPECT_TRUE(FindSerialDevices(dev_ / "absent").empty());
  EXPECT_TRUE(FindSerialDevices(dev_).empty());
}

TEST(SerialDeviceNames, DescriptionsDropBusAndInterface) {
  EXPECT_EQ(DescribeByIdName("usb-Silicon_Labs_CP2102_0001-if00-port0"),
            "Silicon Labs CP2102 0001");
  EXPECT_EQ(DescribeByIdName("usb-Arduino_Uno_8573-if00"), "Arduino Uno 8573");
  EXPECT_EQ(DescribeByIdName("plain"), "plain");
}

}  // namespace
}  // namespace pelvane::ports
