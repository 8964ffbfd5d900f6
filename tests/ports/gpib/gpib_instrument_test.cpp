// The simulated instrument on the GPIB test driver's socket (Unix or loopback
// TCP), driven through the GPIB port: the boot monitor's verdict and answer
// frames in one block, with no per-byte acknowledgement from the host.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <filesystem>
#include <future>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "ports/gpib/gpib_binding.h"
#include "ports/gpib/gpib_bus.h"
#include "ports/gpib/gpib_port.h"
#include "ports/gpib/scoped_env.h"
#include "sim/gpib_socket_transport.h"
#include "sim/simulator.h"

namespace pelvane::ports::gpib::test {
namespace {

using core::Status;
using testing::ElementsAre;

std::uint16_t Sum16(const std::vector<std::uint8_t>& bytes) {
  std::uint16_t sum = 0;
  for (std::uint8_t b : bytes) sum = static_cast<std::uint16_t>(sum + b);
  return sum;
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// Length, load address, start address, program, 16-bit sum of all but the length.
std::vector<std::uint8_t> UploadBlock(const std::vector<std::uint8_t>& program) {
  std::vector<std::uint8_t> summed;
  Put32(summed, 0x00200000);
  Put32(summed, 0x00200000);
  summed.insert(summed.end(), program.begin(), program.end());
  std::vector<std::uint8_t> block;
  Put32(block, static_cast<std::uint32_t>(program.size()));
  block.insert(block.end(), summed.begin(), summed.end());
  const std::uint16_t sum = Sum16(summed);
  block.push_back(static_cast<std::uint8_t>(sum));
  block.push_back(static_cast<std::uint8_t>(sum >> 8));
  return block;
}

std::vector<std::uint8_t> Frame(const std::vector<std::uint8_t>& payload) {
  std::vector<std::uint8_t> frame{static_cast<std::uint8_t>(payload.size())};
  frame.insert(frame.end(), payload.begin(), payload.end());
  const std::uint16_t sum = Sum16(payload);
  frame.push_back(static_cast<std::uint8_t>(sum));
  frame.push_back(static_cast<std::uint8_t>(sum >> 8));
  return frame;
}

// Manufacturer query for the memory at `base`.
std::vector<std::uint8_t> ManufacturerQuery(std::uint32_t base) {
  std::vector<std::uint8_t> payload{0x21, 0x01, 0x00};
  Put32(payload, base);
  return Frame(payload);
}

class GpibInstrumentTest : public testing::TestWithParam<Bus> {
 protected:
  void StartSimulator(sim::SimOptions options) {
    if (GetParam() == Bus::Tcp) {
      options.gpib_tcp = 0;
    } else {
      options.gpib_socket = socketPath;
    }
    options.instrument.block_mode = true;
    options.quiet = true;
    options.memories.push_back({0x0, 0x10000, "FLASH", 0x01, 0x20});
    std::promise<std::string> listening;
    auto ready = listening.get_future();
    simulator = std::thread([this, options, &listening] {
      exitCode = sim::RunSimulator(
          options, stop, [&](const std::string& where) { listening.set_value(where); }, log);
    });
    ASSERT_EQ(ready.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    // The first thing the simulator says is where the driver connects.
    address = ready.get();
    if (GetParam() == Bus::Tcp) {
      EXPECT_THAT(address, testing::MatchesRegex("tcp:127\\.0\\.0\\.1:[1-9][0-9]*"));
    } else {
      EXPECT_EQ(address, socketPath);
    }
    socketVariable.emplace("PELVANE_GPIB_SOCKET", address);
  }

  void TearDown() override {
    stop = true;
    if (simulator.joinable()) simulator.join();
    std::filesystem::remove_all(dir);
  }

  std::unique_ptr<IQX_Port> OpenPort() {
    auto port = CreateGpibPort(binding);
    bool opened = false;
    EXPECT_EQ(port->Open("GPIB0", &opened), Status::Ok);
    EXPECT_TRUE(opened);
    return port;
  }

  static std::int32_t Write(IQX_Port& port, std::vector<std::uint8_t> bytes) {
    std::int32_t n = -1;
    EXPECT_EQ(port.BlockWrite(bytes.data(), static_cast<std::int32_t>(bytes.size()), &n),
              Status::Ok);
    return n;
  }

  static std::vector<std::uint8_t> Read(IQX_Port& port, std::int32_t count) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(count));
    std::int32_t n = -1;
    EXPECT_EQ(port.BlockRead(bytes.data(), count, &n), Status::Ok);
    bytes.resize(static_cast<std::size_t>(std::max(n, 0)));
    return bytes;
  }

  static std::int16_t LastError(IQX_Port& port) {
    std::int16_t code = -1;
    port.GetLastError(&code);
    return code;
  }

  std::string dir = [] {
    char pattern[] = "/tmp/pelvane-gpib-sim-XXXXXX";
    return std::string(::mkdtemp(pattern));
  }();
  std::string socketPath = dir + "/bus";
  std::string address;
  std::optional<ScopedEnv> socketVariable;
  GpibBinding binding{[] { return std::vector<std::string>{GPIB_SIM_DRIVER}; }};
  std::atomic<bool> stop{false};
  std::ostringstream log;
  int exitCode = -1;
  std::thread simulator;
};

TEST_P(GpibInstrumentTest, UploadVerdictThenAnswersInOneBlockForOneHostAfterAnother) {
  StartSimulator({});
  auto port = OpenPort();
  EXPECT_EQ(Write(*port, UploadBlock({0x4E, 0x71, 0x4E, 0x75})), 18);
  EXPECT_THAT(Read(*port, 1), ElementsAre('T'));

  ASSERT_EQ(Write(*port, ManufacturerQuery(0x0)), 10);
  const auto length = Read(*port, 1);
  ASSERT_THAT(length, ElementsAre(9));
  // Code, manufacturer and device code, then the checksum, all in one read.
  EXPECT_THAT(Read(*port, 11), ElementsAre(0xA1, 0x01, 0, 0, 0, 0x20, 0, 0, 0, 0xC2, 0x00));
  EXPECT_EQ(LastError(*port), 0);

  // The next program finds the instrument where the last one left it.
  bool closed = false;
  port->Close(&closed);
  port = OpenPort();
  ASSERT_EQ(Write(*port, ManufacturerQuery(0x0)), 10);
  EXPECT_THAT(Read(*port, 1), ElementsAre(9));
  EXPECT_EQ(Read(*port, 11).size(), 11u);

  port.reset();
  stop = true;
  simulator.join();
  EXPECT_EQ(exitCode, sim::kExitOk) << log.str();
  EXPECT_FALSE(std::filesystem::exists(socketPath));
}

TEST_P(GpibInstrumentTest, SilentBootMonitorEndsTheVerdictReadWithATimeout) {
  ScopedEnv shortTimeouts{"PELVANE_GPIB_TIMEOUT_MS", "50"};
  sim::SimOptions options;
  options.faults.silent_boot = true;
  StartSimulator(options);
  auto port = OpenPort();
  EXPECT_EQ(Write(*port, UploadBlock({1, 2, 3})), 17);
  EXPECT_TRUE(Read(*port, 1).empty());
  EXPECT_EQ(LastError(*port), 104);
}

INSTANTIATE_TEST_SUITE_P(Buses, GpibInstrumentTest, testing::Values(Bus::Unix, Bus::Tcp), BusName);

TEST(GpibSocketTransportTest, TcpPortInUseIsNamed) {
  sim::GpibSocketTransport first{sim::GpibSocketTransport::Tcp{}};
  const std::string port = first.address().substr(first.address().rfind(':') + 1);
  try {
    sim::GpibSocketTransport second{
        sim::GpibSocketTransport::Tcp{static_cast<std::uint16_t>(std::stoi(port))}};
    ADD_FAILURE() << "two listeners on port " << port;
  } catch (const std::runtime_error& e) {
    EXPECT_THAT(e.what(), testing::HasSubstr("127.0.0.1:" + port));
  }
}

TEST(GpibSocketTransportTest, RefusesToReplaceAFileThatIsNotASocket) {
  char pattern[] = "/tmp/pelvane-gpib-file-XXXXXX";
  const int fd = ::mkstemp(pattern);
  ASSERT_GE(fd, 0);
  ::close(fd);
  EXPECT_THROW(sim::GpibSocketTransport{pattern}, std::runtime_error);
  EXPECT_TRUE(std::filesystem::exists(pattern));
  std::filesystem::remove(pattern);
}

}  // namespace
}  // namespace pelvane::ports::gpib::test
