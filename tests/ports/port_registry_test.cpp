#include "ports/port_registry.h"

#include <gtest/gtest.h>

#include "core/class_ids.h"

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

class BindPortTest : public ::testing::TestWithParam<Row> {};

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
    ::testing::Values(
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

}  // namespace
}  // namespace pelvane::ports
