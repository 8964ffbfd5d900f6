#include "ports/registry/port_registry.h"

#include <gtest/gtest.h>

#include "core/class_ids.h"
#include "ports/kind/device_name.h"
#include "ports/kind/port_kind.h"

namespace pelvane::ports {
namespace {

// A port that only records what it was made as.
class StubPort : public IQX_Port {
 public:
  explicit StubPort(std::string madeAs) : kind(std::move(madeAs)) {}
  core::Status Close(bool*) override { return core::Status::Ok; }
  core::Status Open(const std::string&, bool*) override { return core::Status::Ok; }
  core::Status BlockRead(std::uint8_t*, std::int32_t, std::int32_t*) override {
    return core::Status::Ok;
  }
  core::Status BlockWrite(const std::uint8_t*, std::int32_t, std::int32_t*) override {
    return core::Status::Ok;
  }
  core::Status GetLastErrorString(std::string*) override { return core::Status::Ok; }
  core::Status GetLastError(std::int16_t*) override { return core::Status::Ok; }
  core::Status Advise(IQX_PortEvents*, core::Cookie*) override { return core::Status::Ok; }
  core::Status Unadvise(core::Cookie) override { return core::Status::Ok; }
  std::string kind;
};

PortRegistry StubRegistry() {
  PortRegistry registry;
  registry.Add(std::string(core::clsid::kSerialPort),
               [] { return std::make_unique<StubPort>("serial"); });
  registry.Add(std::string(core::clsid::kGpibPort),
               [] { return std::make_unique<StubPort>("gpib"); });
  return registry;
}

std::string KindOf(const PortBinding& binding) {
  auto* stub = dynamic_cast<StubPort*>(binding.port.get());
  return stub ? stub->kind : "";
}

struct Row {
  const char* openString;
  const char* kind;  // "" when no port is created
  const char* parameters;
  bool blockMode;
};

class BindPortTest : public testing::TestWithParam<Row> {};

TEST_P(BindPortTest, Binds) {
  const Row& row = GetParam();
  const PortBinding binding = BindPort(row.openString, StubRegistry());
  EXPECT_EQ(KindOf(binding), row.kind);
  if (binding.port) {
    EXPECT_EQ(binding.parameters, row.parameters);
    EXPECT_EQ(binding.blockMode, row.blockMode);
  } else {
    EXPECT_FALSE(binding.blockMode);
  }
}

INSTANTIATE_TEST_SUITE_P(
    OpenStrings, BindPortTest,
    testing::Values(
        Row{"clsid:519498DF-CB5C-11D4-A40B-0050DAE004CA COM1:115200,E,8,1", "serial",
            "COM1:115200,E,8,1", false},
        Row{"clsid:B35BC69F-C22C-11D4-A408-0050DAE004CA GPIB0", "gpib", "GPIB0", true},
        Row{"clsid:b35bc69f-c22c-11d4-a408-0050dae004ca GPIB0", "gpib", "GPIB0", false},
        Row{"clsid:B35BC69F-C22C-11d4-A408-0050DAE004CA GPIB0", "gpib", "GPIB0", false},
        Row{"  \t\nclsid:519498DF-CB5C-11D4-A40B-0050DAE004CA \t COM1:115200,E,8,1 extra word",
            "serial", "COM1:115200,E,8,1", false},
        Row{"clsid:519498DF-CB5C-11D4-A40B-0050DAE004CA", "serial", "", false},
        Row{"clsid:519498DF-CB5C-11D4-A40B-0050DAE004CA   ", "serial", "", false},
        Row{"clsid:B35BC69F-C22C-11D4-A408-0050DAE004CA\nGPIB0", "gpib", "GPIB0", true},
        Row{"CLSID:519498DF-CB5C-11D4-A40B-0050DAE004CA COM2", "serial", "COM2", false},
        Row{"CLSID:B35BC69F-C22C-11D4-A408-0050DAE004CA GPIB0", "gpib", "GPIB0", false},
        Row{"clsid:00000000-0000-0000-0000-000000000000 COM1", "", "", false},
        Row{"519498DF-CB5C-11D4-A40B-0050DAE004CA COM1", "", "", false},
        Row{"clsid:{519498DF-CB5C-11D4-A40B-0050DAE004CA} COM1", "", "", false},
        Row{"clsid:519498DF-CB5C-11D4-A40B-0050DAE004C COM1", "", "", false},
        Row{"clsid:519498DF-CB5C-11D4-A40B-0050DAE004CAX COM1", "", "", false},
        Row{"clsid: 519498DF-CB5C-11D4-A40B-0050DAE004CA COM1", "", "", false},
        Row{"", "", "", false}, Row{"   ", "", "", false}));

TEST(SplitOpenString, TokensAtBlanksTabsAndLineFeedsOnly) {
  const OpenStringParts parts = SplitOpenString("\t a:b,c\r d e");
  EXPECT_EQ(parts.classIdPart, "a:b,c\r");
  EXPECT_EQ(parts.parameters, "d");
}

TEST(DefaultPortRegistry, BindsTheSerialPortWhichGetsOnlyItsParameters) {
  ASSERT_TRUE(DefaultPortRegistry().Contains(core::clsid::kSerialPort));
  PortBinding binding =
      BindPort("clsid:519498DF-CB5C-11D4-A40B-0050DAE004CA", DefaultPortRegistry());
  ASSERT_TRUE(binding.port);
  EXPECT_NE(dynamic_cast<IQX_PortWait*>(binding.port.get()), nullptr);
  bool opened = true;
  EXPECT_EQ(binding.port->Open(binding.parameters, &opened), core::Status::Ok);
  EXPECT_FALSE(opened);
  std::string text;
  binding.port->GetLastErrorString(&text);
  EXPECT_EQ(text, "Unable to open port");
}

// What names a device differs between the platforms; the rest does not.
#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

// One rule for every place that tells the kinds of port apart; blanks around
// a name do not count, so a pasted " /dev/ttyUSB0" does not open COM1.
TEST(PortKinds, EveryNameHasOneKind) {
  using enum PortKind;
  struct NameRow {
    const char* name;
    PortKind onLinux;
    PortKind onWindows;
  };
  for (const NameRow& row : std::initializer_list<NameRow>{
           {"COM1", SerialName, DevicePath},
           {"com3", SerialName, DevicePath},
           {" COM10\t", SerialName, DevicePath},
           {R"(\\.\COM12)", SerialName, DevicePath},
           {"COM0", SerialName, SerialName},  // Windows has no such device
           {"XCOM", SerialName, SerialName},
           {"/dev/ttyUSB0", DevicePath, Default},
           {" /dev/pts/7", DevicePath, Default},
           {"/dev/gpib0", DevicePath, Gpib},  // a path before GPIB
           {"gpib0", Gpib, Gpib},
           {" Gpib ", Gpib, Gpib},
           {"GPIBCOM", SerialName, SerialName},  // COM before GPIB
           {"LPT1", Default, Default},
           {"", Default, Default},
           {"   ", Default, Default},
       }) {
    const PortKind kind = kWindows ? row.onWindows : row.onLinux;
    EXPECT_EQ(KindOfPort(row.name), kind) << row.name;
    EXPECT_EQ(IsSerialPort(row.name), kind != Gpib) << row.name;  // the default line is serial
  }
}

// Each kind's open string, whether the package's rate must pass the speed
// check, and the session's receive mode once the string is bound.
TEST(PortKinds, OpenStringsRatesAndBlockMode) {
  const std::string serial = "clsid:519498DF-CB5C-11D4-A40B-0050DAE004CA ";
  const std::string device = kWindows ? R"(\\.\COM10)" : "/dev/ttyUSB0";
  struct FormRow {
    std::string name;
    std::string openString;
    bool needsRate;
    bool blockMode;
  };
  for (const FormRow& row : std::initializer_list<FormRow>{
           {" " + device, serial + device + ":9600,E,8,1", true, false},
           {"com2", serial + "com2:9600,E,8,1", true, false},  // the name as given
           {" gpib", "clsid:B35BC69F-C22C-11D4-A408-0050DAE004CA GPIB0", false, true},
           // The default line runs at 115200 whatever the package says.
           {"LPT1", serial + "COM1:115200,E,8,1", false, false},
       }) {
    EXPECT_EQ(OpenString(row.name, 9600), row.openString) << row.name;
    EXPECT_EQ(InfoOfPort(row.name).needsRate, row.needsRate) << row.name;
    const PortBinding binding = BindPort(row.openString, StubRegistry());
    EXPECT_NE(KindOf(binding), "") << row.name;
    EXPECT_EQ(binding.blockMode, row.blockMode) << row.name;
  }
  EXPECT_EQ(InfoOf(PortKind::Gpib).bootKey, "number 6");
  EXPECT_EQ(InfoOf(PortKind::Default).bootKey, "number 5");
}

TEST(DeviceNames, ComNamesAndPathsNameDevices) {
  struct DeviceRow {
    const char* name;
    const char* onLinux;
    const char* onWindows;
  };
  for (const DeviceRow& row : std::initializer_list<DeviceRow>{
           {"COM3", "/dev/ttyS2", R"(\\.\COM3)"},
           {"COM10", "/dev/ttyS9", R"(\\.\COM10)"},
           {"/dev/ttyUSB0", "/dev/ttyUSB0", ""},
           {R"(\\.\COM12)", "", R"(\\.\COM12)"},
           {"COM0", "", ""},
           {"COM", "", ""},
           {"COM1X", "", ""},
           {" COM3", "", ""},  // blanks are the caller's to trim
           {"GPIB", "", ""},
       }) {
    EXPECT_EQ(DeviceOfPort(row.name), kWindows ? row.onWindows : row.onLinux) << row.name;
  }
  EXPECT_EQ(CanonicalPortName("com1"), "COM1");
  EXPECT_EQ(CanonicalPortName(R"(\\.\com10)"), R"(\\.\COM10)");
  // /dev/ttyUSB0 opens, /DEV/TTYUSB0 never would.
  if (!kWindows) {
    EXPECT_EQ(CanonicalPortName("/dev/ttyUSB0"), "/dev/ttyUSB0");
  }
  EXPECT_TRUE(DevicePresent(kWindows ? R"(\\.\NUL)" : "/dev/null"));
  EXPECT_FALSE(DevicePresent(kWindows ? "COM9999" : "/dev/pelvane-no-such-device"));
  EXPECT_FALSE(DevicePresent("GPIB"));
}

}  // namespace
}  // namespace pelvane::ports
