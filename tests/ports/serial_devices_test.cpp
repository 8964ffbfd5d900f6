#include "ports/devices/serial_devices.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <random>

#include "ports/devices/device_listing.h"

namespace pelvane::ports {
namespace {

namespace fs = std::filesystem;

// A device folder of the Linux kind: its devices are links to /dev/null,
// the one character device every Linux machine has.
class SerialDevicesTest : public testing::Test {
 protected:
  void SetUp() override {
    std::error_code ec;
    if (!fs::is_character_file("/dev/null", ec)) GTEST_SKIP() << "no character devices here";
    dev_ = fs::temp_directory_path() / ("pelvane-dev-" + std::to_string(std::random_device{}()));
    fs::create_directories(dev_);
  }
  void TearDown() override {
    if (!dev_.empty()) fs::remove_all(dev_);
  }
  void Touch(const std::string& name) { fs::create_symlink("/dev/null", dev_ / name); }
  // A regular file where a device belongs is no serial port.
  void Plain(const std::string& name) { std::ofstream(dev_ / name).put('\0'); }
  fs::path dev_;
};

TEST_F(SerialDevicesTest, FindsSerialDevicesInNaturalOrderWithoutEmptyUartSlots) {
  for (const char* name : {"ttyUSB10", "ttyUSB2", "ttyACM0", "ttyS0", "ttyS1", "tty1", "null"})
    Touch(name);
  Plain("ttyUSB7");
  fs::create_directory(dev_ / "ttyACM3");
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
  EXPECT_EQ(devices[2].driver, "");
  EXPECT_EQ(devices[2].latencyTimerMs, -1);
  // Without sysfs every ttyS name counts, as in a container.
  EXPECT_EQ(FindSerialDevices(dev_, SystemDeviceAccess, dev_ / "absent").size(), 5u);
}

TEST_F(SerialDevicesTest, ByIdLinksDescribeTheirDevicesAndAddOthers) {
  Touch("ttyUSB0");
  Touch("ttyS4");
  fs::create_directories(dev_ / "serial" / "by-id");
  fs::create_symlink("../../ttyUSB0",
                     dev_ / "serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2-if00-port0");
  fs::create_symlink("../../ttyS4", dev_ / "serial/by-id/pci-Moxa_CP-102\x1b[2J-if01");
  fs::create_directories(dev_ / "serial/by-id/not-a-link");
  Plain("ttyX");
  fs::create_symlink("../../ttyX", dev_ / "serial/by-id/usb-Plain_File-if00");
  const auto devices = FindSerialDevices(dev_);
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].path, (dev_ / "ttyS4").string());
  // A link's name may hold anything; the list shows it escaped.
  EXPECT_EQ(devices[0].description, "Moxa CP-102\x1b[2J");
  EXPECT_EQ(PortNote(devices[0]), "Moxa CP-102\\x1b[2J");
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

// sysfs names each tty's driver and, for FTDI chips, the latency timer that
// every answer byte waits out.
TEST_F(SerialDevicesTest, DriversAndLatencyTimersComeFromSysfs) {
  Touch("ttyUSB0");
  Touch("ttyACM0");
  const fs::path ftdi = dev_ / "sys" / "ttyUSB0" / "device";
  fs::create_directories(ftdi);
  fs::create_symlink("../../../bus/usb-serial/drivers/ftdi_sio", ftdi / "driver");
  std::ofstream(ftdi / "latency_timer") << "16\n";
  const fs::path acm = dev_ / "sys" / "ttyACM0" / "device";
  fs::create_directories(acm);
  fs::create_symlink("../../../bus/usb/drivers/cdc_acm", acm / "driver");
  const auto devices = FindSerialDevices(dev_, SystemDeviceAccess, dev_ / "sys");
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].driver, "cdc_acm");
  EXPECT_EQ(devices[0].latencyTimerMs, -1);
  EXPECT_EQ(devices[1].driver, "ftdi_sio");
  EXPECT_EQ(devices[1].latencyTimerMs, 16);
}

TEST_F(SerialDevicesTest, MissingFolderGivesNoDevices) {
  EXPECT_TRUE(FindSerialDevices(dev_ / "absent").empty());
  EXPECT_TRUE(FindSerialDevices(dev_).empty());
}

TEST(SerialDeviceNames, ControlCharactersAndBrokenUtf8AreEscaped) {
  EXPECT_EQ(PrintableText("FTDI FT232R"), "FTDI FT232R");
  EXPECT_EQ(PrintableText("Prolific\u2122 caf\u00e9"), "Prolific\u2122 caf\u00e9");
  EXPECT_EQ(PrintableText("a\x1b[2Jb\tc\x7f"), "a\\x1b[2Jb\\x09c\\x7f");
  EXPECT_EQ(PrintableText("\xc2\x9b"
                          "31m"),
            "\\u009b31m");  // the 8-bit CSI
  EXPECT_EQ(PrintableText("\xff\xe2\x82"), "\\xff\\xe2\\x82");
  EXPECT_EQ(PrintableText(std::string("a\0b", 3)), "a\\x00b");
}

// What Windows' device instance ids tell about an adapter.
TEST(SerialDeviceNames, UsbIdentityFromAWindowsInstanceId) {
  struct Row {
    const char* instanceId;
    const char* usbId;
    const char* serialNumber;
  };
  for (const Row& row : std::initializer_list<Row>{
           {R"(USB\VID_0403&PID_6001\A1234)", "0403:6001", "A1234"},
           {R"(USB\VID_10C4&PID_EA60\0001)", "10c4:ea60", "0001"},
           // Windows makes the last part up for a device without a serial number.
           {R"(USB\VID_2341&PID_0043\7&1C2B3A4&0&1)", "2341:0043", ""},
           {R"(USB\VID_067B&PID_2303&MI_00\6&2A&0&0000)", "067b:2303", ""},
           {R"(FTDIBUS\VID_0403+PID_6001+A1234A\0000)", "0403:6001", ""},
           {R"(ACPI\PNP0501\1)", "", ""},
           {R"(USB\VID_04X3&PID_6001\A1)", "", ""},
           {"", "", ""},
       }) {
    const UsbIdentity identity = ParseDeviceInstanceId(row.instanceId);
    EXPECT_EQ(identity.usbId, row.usbId) << row.instanceId;
    EXPECT_EQ(identity.serialNumber, row.serialNumber) << row.instanceId;
  }
}

TEST(SerialDeviceNames, WindowsListsDescribedPortsAndTheRegistrysOthers) {
  const SerialDeviceList list = ComPortList(
      {{"COM10", "USB Serial Port (COM10)", R"(USB\VID_0403&PID_6001\A1234)", "FTSER2K", 16},
       {"COM3", "Communications Port (COM3)", R"(ACPI\PNP0501\1)", "Serial", -1},
       {"", "Modem", R"(ROOT\MODEM\0000)", "Modem", -1}},
      {"COM3", "COM2", "COM10", ""});
  ASSERT_EQ(list.devices.size(), 3u);
  EXPECT_EQ(list.devices[0].path, "COM2");
  EXPECT_EQ(list.devices[0].description, "");
  EXPECT_EQ(list.devices[1].path, "COM3");
  EXPECT_EQ(list.devices[1].description, "Communications Port");
  EXPECT_EQ(list.devices[2].path, "COM10");
  EXPECT_EQ(list.devices[2].description, "USB Serial Port");
  EXPECT_EQ(list.devices[2].usbId, "0403:6001");
  EXPECT_EQ(list.devices[2].serialNumber, "A1234");
  EXPECT_EQ(list.devices[2].stablePath + list.devices[2].accessHint, "");
  EXPECT_EQ(list.devices[2].driver, "FTSER2K");
  EXPECT_EQ(list.devices[2].latencyTimerMs, 16);
  EXPECT_EQ(list.devices[1].latencyTimerMs, -1);
  EXPECT_EQ(list.undescribedReason, "");
  // Without SetupAPI's descriptions the registry's list stands alone, and says so.
  const SerialDeviceList fallback = ComPortList({}, {"COM1", "COM2"});
  ASSERT_EQ(fallback.devices.size(), 2u);
  EXPECT_NE(fallback.undescribedReason.find("SERIALCOMM"), std::string::npos);
  EXPECT_EQ(ComPortList({}, {}).undescribedReason, "");
}

TEST(SerialDeviceNames, DescriptionsDropBusAndInterface) {
  EXPECT_EQ(DescribeByIdName("usb-Silicon_Labs_CP2102_0001-if00-port0"),
            "Silicon Labs CP2102 0001");
  EXPECT_EQ(DescribeByIdName("usb-Arduino_Uno_8573-if00"), "Arduino Uno 8573");
  EXPECT_EQ(DescribeByIdName("plain"), "plain");
}

}  // namespace
}  // namespace pelvane::ports
