// The GPIB port over the project's own driver library, with a stand-in
// instrument on the far end of the driver's socket, a Unix one or loopback
// TCP. Time-outs are cut to a few milliseconds through the device settings and
// the driver's cap.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "ports/gpib/gpib_binding.h"
#include "ports/gpib/gpib_bus.h"
#include "ports/gpib/gpib_port.h"
#include "ports/gpib/recording_listener.h"
#include "ports/gpib/scoped_env.h"

namespace pelvane::ports::gpib::test {
namespace {

using core::Status;
using testing::ElementsAre;
using testing::IsEmpty;

constexpr int kT30ms = 8;

DeviceSettings ShortTransfers() {
  DeviceSettings settings;
  settings.transferTimeout = kT30ms;
  return settings;
}

// A TCP socket on 127.0.0.1 with a port the system picked, and that port.
int LoopbackSocket(std::uint16_t* port) {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  EXPECT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length), 0);
  *port = ntohs(address.sin_port);
  return s;
}

// The instrument's side: listens where the driver connects and talks raw bytes.
class StandInInstrument {
 public:
  explicit StandInInstrument(Bus bus) {
    char pattern[] = "/tmp/pelvane-gpib-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    if (bus == Bus::Tcp) {
      std::uint16_t port = 0;
      listener_ = LoopbackSocket(&port);
      address_ = "tcp:127.0.0.1:" + std::to_string(port);
      // A bound port that does not listen refuses connections.
      std::uint16_t closedPort = 0;
      refusing_ = LoopbackSocket(&closedPort);
      absent_ = "tcp:127.0.0.1:" + std::to_string(closedPort);
      absentError_ = ECONNREFUSED;
    } else {
      address_ = dir_ + "/bus";
      listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::strcpy(address.sun_path, address_.c_str());
      EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
      absent_ = address_ + ".absent";
      absentError_ = ENOENT;
    }
    EXPECT_EQ(::listen(listener_, 4), 0);
  }
  ~StandInInstrument() {
    HangUp();
    ::close(listener_);
    if (refusing_ >= 0) ::close(refusing_);
    std::filesystem::remove_all(dir_);
  }

  // The value of PELVANE_GPIB_SOCKET that reaches it.
  const std::string& address() const { return address_; }
  // One where nothing listens, and the system's error for connecting there.
  const std::string& absent() const { return absent_; }
  int absentError() const { return absentError_; }

  void Accept() { connection_ = ::accept(listener_, nullptr, nullptr); }

  void Send(std::vector<std::uint8_t> bytes) {
    ASSERT_EQ(::send(connection_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }

  // What the host has written so far (waits briefly for the first byte).
  std::vector<std::uint8_t> Received() {
    std::vector<std::uint8_t> bytes;
    pollfd p{connection_, POLLIN, 0};
    while (::poll(&p, 1, bytes.empty() ? 1000 : 0) > 0) {
      std::uint8_t chunk[512];
      const ssize_t n = ::recv(connection_, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      bytes.insert(bytes.end(), chunk, chunk + n);
    }
    return bytes;
  }

  bool HostHungUp() {
    pollfd p{connection_, POLLIN, 0};
    if (::poll(&p, 1, 1000) <= 0) return false;
    std::uint8_t byte;
    return ::recv(connection_, &byte, 1, 0) == 0;
  }

  void HangUp() {
    if (connection_ >= 0) ::close(connection_);
    connection_ = -1;
  }

 private:
  std::string dir_;
  std::string address_;
  std::string absent_;
  int absentError_ = 0;
  int listener_ = -1;
  int refusing_ = -1;
  int connection_ = -1;
};

class GpibSimDriverTest : public testing::TestWithParam<Bus> {
 protected:
  void SetUp() override { ASSERT_EQ(port->Advise(&listener, &cookie), Status::Ok); }

  void OpenPort() {
    bool opened = false;
    ASSERT_EQ(port->Open("GPIB0", &opened), Status::Ok);
    ASSERT_TRUE(opened) << LastErrorString() << " ibcntl " << binding.ibcntl();
    instrument.Accept();
  }

  std::int32_t Read(std::int32_t max) {
    std::int32_t count = -99;
    EXPECT_EQ(port->BlockRead(buffer.data(), max, &count), Status::Ok);
    return count;
  }

  std::int32_t Write(std::vector<std::uint8_t> bytes) {
    std::int32_t count = -99;
    EXPECT_EQ(port->BlockWrite(bytes.data(), static_cast<std::int32_t>(bytes.size()), &count),
              Status::Ok);
    return count;
  }

  std::int16_t LastError() {
    std::int16_t code = -1;
    port->GetLastError(&code);
    return code;
  }

  std::string LastErrorString() {
    std::string text;
    port->GetLastErrorString(&text);
    return text;
  }

  StandInInstrument instrument{GetParam()};
  ScopedEnv socketVariable{"PELVANE_GPIB_SOCKET", instrument.address()};
  GpibBinding binding{[] { return std::vector<std::string>{GPIB_SIM_DRIVER}; }};
  std::unique_ptr<IQX_Port> port = CreateGpibPort(binding, ShortTransfers());
  RecordingListener listener;
  core::Cookie cookie = 0;
  std::array<std::uint8_t, 300> buffer{};
};

TEST_P(GpibSimDriverTest, FrameGoesOutWholeAndAnswerComesBackInBlockMode) {
  OpenPort();
  EXPECT_EQ(Write({0x07, 0x21, 0x01, 0x02, 0x00, 0x00, 0x10, 0x00, 0x34, 0x00}), 10);
  EXPECT_THAT(instrument.Received(),
              ElementsAre(0x07, 0x21, 0x01, 0x02, 0x00, 0x00, 0x10, 0x00, 0x34, 0x00));

  instrument.Send({0x03, 0x05, 0x11, 0x22, 0x33, 0x44});
  EXPECT_EQ(Read(1), 1);
  EXPECT_EQ(buffer[0], 0x03);
  EXPECT_EQ(Read(5), 5);
  EXPECT_THAT(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + 5),
              ElementsAre(0x05, 0x11, 0x22, 0x33, 0x44));
  EXPECT_EQ(LastError(), 0);
  EXPECT_THAT(listener.events, ElementsAre("send(0)", "receive(0)", "receive(0)"));
}

TEST_P(GpibSimDriverTest, LongestFrameBodyArrivesInOneRead) {
  OpenPort();
  std::vector<std::uint8_t> body(256);
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<std::uint8_t>(i);
  instrument.Send(body);
  EXPECT_EQ(Read(256), 256);
  EXPECT_TRUE(std::equal(body.begin(), body.end(), buffer.begin()));
}

TEST_P(GpibSimDriverTest, SilentInstrumentTimesOutWithTheZeroMarker) {
  OpenPort();
  buffer[0] = 0xAA;
  EXPECT_EQ(Read(1), 0);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(LastError(), 104);
  EXPECT_EQ(LastErrorString(), "Port write timeout ibsta = 0xC000");
  EXPECT_THAT(listener.events, IsEmpty());
}

TEST_P(GpibSimDriverTest, ReadThatStallsCountsOneByteButNotTwo) {
  OpenPort();
  instrument.Send({0x41});
  EXPECT_EQ(Read(10), 1);
  EXPECT_EQ(buffer[0], 0x41);
  EXPECT_EQ(LastError(), 104);
  instrument.Send({0x41, 0x42});
  EXPECT_EQ(Read(10), 0);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(LastError(), 104);
}

TEST_P(GpibSimDriverTest, InstrumentThatHangsUpIsSilentAndRefusesWrites) {
  OpenPort();
  instrument.HangUp();
  EXPECT_EQ(Read(1), 0);
  EXPECT_EQ(LastError(), 104);
  EXPECT_EQ(Write({0x01, 0x02, 0x03, 0x00}), 0);
  EXPECT_EQ(LastError(), 107);
  EXPECT_EQ(binding.iberr(), kEnol);
}

TEST_P(GpibSimDriverTest, CloseReleasesTheConnection) {
  OpenPort();
  bool closed = false;
  ASSERT_EQ(port->Close(&closed), Status::Ok);
  EXPECT_TRUE(closed);
  EXPECT_TRUE(instrument.HostHungUp());
}

TEST_P(GpibSimDriverTest, NoSimulatorMeansNoDevice) {
  ScopedEnv elsewhere{"PELVANE_GPIB_SOCKET", instrument.absent()};
  bool opened = true;
  ASSERT_EQ(port->Open("GPIB0", &opened), Status::Ok);
  EXPECT_FALSE(opened);
  EXPECT_EQ(LastError(), 102);
  EXPECT_EQ(binding.iberr(), kEdvr);
  EXPECT_EQ(binding.ibcntl(), instrument.absentError());

  ::unsetenv("PELVANE_GPIB_SOCKET");
  ASSERT_EQ(port->Open("GPIB0", &opened), Status::Ok);
  EXPECT_FALSE(opened);
  EXPECT_EQ(binding.iberr(), kEneb);
}

TEST_P(GpibSimDriverTest, TimeoutCapShortensTheStandardTransferLimit) {
  ScopedEnv cap{"PELVANE_GPIB_TIMEOUT_MS", "20"};
  port = CreateGpibPort(binding);  // the standard 3 s transfer limit
  OpenPort();
  EXPECT_EQ(Read(1), 0);
  EXPECT_EQ(LastError(), 104);
}

TEST_P(GpibSimDriverTest, DriverRefusesBadArguments) {
  EXPECT_EQ(binding.ibdev(1, 28, 0, kT10s, 1, 0), -1);
  EXPECT_EQ(binding.iberr(), kEneb);
  EXPECT_EQ(binding.ibdev(0, 31, 0, kT10s, 1, 0), -1);
  EXPECT_EQ(binding.iberr(), kEarg);
  const int ud = binding.ibdev(0, 28, 0, kT10s, 1, 0);
  ASSERT_GE(ud, 0);
  EXPECT_EQ(binding.ibtmo(ud, 18) & kErr, kErr);
  EXPECT_EQ(binding.iberr(), kEarg);
  int value = -1;
  EXPECT_EQ(binding.ibask(ud, 0x3, &value) & kErr, 0);
  EXPECT_EQ(value, kT10s);
  EXPECT_EQ(binding.ibonl(ud, 0) & kErr, 0);
}

INSTANTIATE_TEST_SUITE_P(Buses, GpibSimDriverTest, testing::Values(Bus::Unix, Bus::Tcp), BusName);

TEST(GpibSimDriverAddressTest, MalformedTcpAddressIsAnInvalidArgument) {
  GpibBinding binding{[] { return std::vector<std::string>{GPIB_SIM_DRIVER}; }};
  for (const char* address : {"tcp:127.0.0.1", "tcp:127.0.0.1:", "tcp:127.0.0.1:0",
                              "tcp:127.0.0.1:65536", "tcp:127.0.0.1:80x", "tcp:localhost:5025"}) {
    ScopedEnv variable{"PELVANE_GPIB_SOCKET", address};
    EXPECT_EQ(binding.ibdev(0, 28, 0, kT10s, 1, 0), -1) << address;
    EXPECT_EQ(binding.iberr(), kEdvr) << address;
    EXPECT_EQ(binding.ibcntl(), EINVAL) << address;
  }
}

}  // namespace
}  // namespace pelvane::ports::gpib::test
