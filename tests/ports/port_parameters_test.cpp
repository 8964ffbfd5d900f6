#include "ports/serial/port_parameters.h"

#include <gtest/gtest.h>

#include <limits>

namespace pelvane::ports::serial {
namespace {

struct Row {
  const char* text;
  int port;
  const char* path;
  std::int32_t baud;
  char parity;
  int dataBits;
  int stopBits;
};

class ParsePortParametersTest : public testing::TestWithParam<Row> {};

TEST_P(ParsePortParametersTest, SplitsFields) {
  const Row& row = GetParam();
  const PortParameters p = ParsePortParameters(row.text);
  EXPECT_EQ(p.portNumber, row.port);
  EXPECT_EQ(p.devicePath, row.path);
  EXPECT_EQ(p.baud, row.baud);
  EXPECT_EQ(p.parity, row.parity);
  EXPECT_EQ(p.dataBits, row.dataBits);
  EXPECT_EQ(p.stopBits, row.stopBits);
}

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Rows, ParsePortParametersTest,
    testing::Values(
        Row{"COM1:115200,E,8,1", 1, "", 115200, 'E', 8, 1},
        Row{"com3:9600,n,8,2", 3, "", 9600, 'N', 8, 2}, Row{"COM12", 12, "", 0, 0, 0, 0},
        Row{"COM12:19200,N,8,1", 12, "", 19200, 'N', 8, 1},
        Row{"COM1::115200,,even,8,,1", 1, "", 115200, 'E', 8, 1},
        Row{"COM2\t4800\n O", 2, "", 4800, ' ', 0, 0},
        Row{"COM1: 9600,e,7x,1", 1, "", 9600, 'E', 7, 1}, Row{"COM1:+9600", 1, "", 9600, 0, 0, 0},
        Row{"COM1:-5,N", 1, "", -5, 'N', 0, 0}, Row{"COM1:fast,N,8,1", 1, "", 0, 'N', 8, 1},
        Row{"COM1:99999999999,N,8,1", 1, "", kMax, 'N', 8, 1}, Row{"COM", -1, "", 0, 0, 0, 0},
        Row{"", -1, "", 0, 0, 0, 0}, Row{"PORT7:9600", 7, "", 9600, 0, 0, 0},
        Row{"/dev/pts/7:115200,E,8,1", -1, "/dev/pts/7", 115200, 'E', 8, 1},
        Row{"/dev/ttyUSB0", -1, "/dev/ttyUSB0", 0, 0, 0, 0},
        Row{"/dev/ttyUSB0:", -1, "/dev/ttyUSB0", 0, 0, 0, 0},
        Row{R"(\\.\CNCA0:9600,N,8,1)", -1, R"(\\.\CNCA0)", 9600, 'N', 8, 1},
        Row{"/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0:9600,O,8,1", -1,
            "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0", 9600, 'O', 8, 1},
        Row{"/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0", -1,
            "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0", 0, 0, 0, 0}));

TEST(PortParameters, NamesPortOnlyWithANumberOrAPath) {
  EXPECT_TRUE(ParsePortParameters("COM1").NamesPort());
  EXPECT_TRUE(ParsePortParameters("COM0").NamesPort());  // named, but no such port
  EXPECT_TRUE(ParsePortParameters("/dev/ttyS0").NamesPort());
  EXPECT_FALSE(ParsePortParameters("COM:9600").NamesPort());
  EXPECT_FALSE(ParsePortParameters("").NamesPort());
  EXPECT_TRUE(ParsePortParameters("COM99999999999999").portNumber > 0);
}

}  // namespace
}  // namespace pelvane::ports::serial
