#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/inotify.h>

#include <atomic>
#include <chrono>
#include <numeric>
#include <thread>

#include "ports/devices/serial_devices.h"
#include "ports/recording_tty_io.h"
#include "ports/serial/serial_port.h"
#include "ports/serial_line/posix/termios_serial_line.h"
#include "support/pty_pair.h"

namespace pelvane::ports::serial {
namespace {

using pelvane::test::PtyPair;
using test::RecordingTtyIo;
using testing::ElementsAre;
using testing::HasSubstr;

class RecordingListener : public IQX_PortEvents {
 public:
  void OnReceive(IQX_Port* obj, std::int32_t lResult) override {
    received.push_back(lResult);
    lastObj = obj;
  }
  void OnSend(IQX_Port* obj, std::int32_t lResult) override {
    sent.push_back(lResult);
    lastObj = obj;
  }
  std::vector<std::int32_t> received, sent;
  IQX_Port* lastObj = nullptr;
};

std::int16_t LastError(IQX_Port& port) {
  std::int16_t code = -1;
  EXPECT_EQ(port.GetLastError(&code), core::Status::Ok);
  return code;
}

std::string LastErrorText(IQX_Port& port) {
  std::string text;
  EXPECT_EQ(port.GetLastErrorString(&text), core::Status::Ok);
  return text;
}

bool OpenPort(IQX_Port& port, const std::string& parameters) {
  bool opened = false;
  EXPECT_EQ(port.Open(parameters, &opened), core::Status::Ok);
  return opened;
}

// Ports whose lines make their system calls through `io`.
LineFactory Over(RecordingTtyIo& io) {
  return [&io] { return std::make_unique<serial_line::TermiosSerialLine>(io); };
}

std::vector<std::uint8_t> AllByteValues() {
  std::vector<std::uint8_t> bytes(256);
  std::iota(bytes.begin(), bytes.end(), 0);
  return bytes;
}

class SerialPortTest : public testing::Test {
 protected:
  PtyPair pty;
  RecordingTtyIo io;
  Port port{Over(io)};
  RecordingListener listener;
  core::Cookie cookie = 0;

  void SetUp() override {
    ASSERT_EQ(port.Advise(&listener, &cookie), core::Status::Ok);
    port.SetCloseDrainTimeout(std::chrono::milliseconds(50));
  }

  std::int32_t Write(const std::vector<std::uint8_t>& bytes) {
    std::int32_t accepted = -1;
    EXPECT_EQ(port.BlockWrite(bytes.data(), static_cast<std::int32_t>(bytes.size()), &accepted),
              core::Status::Ok);
    return accepted;
  }

  // Lets queued bytes leave the port and collects them on the master. The
  // kernel hands a pseudo-terminal's bytes over in its own time, which a
  // loaded machine stretches: the bound is a time, and a generous one.
  std::vector<std::uint8_t> DrainToMaster(std::size_t count) {
    std::vector<std::uint8_t> arrived;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (arrived.size() < count && std::chrono::steady_clock::now() < end) {
      port.WaitReadable(std::chrono::milliseconds(10));
      const auto chunk = pty.ReadMaster(count - arrived.size(), 10);
      arrived.insert(arrived.end(), chunk.begin(), chunk.end());
    }
    return arrived;
  }

  // Reads until `count` bytes came, sleeping in WaitReadable between reads.
  std::vector<std::uint8_t> ReadPort(std::size_t count) {
    std::vector<std::uint8_t> bytes;
    std::uint8_t buffer[512];
    while (bytes.size() < count && port.WaitReadable(std::chrono::milliseconds(1000))) {
      std::int32_t got = 0;
      EXPECT_EQ(port.BlockRead(buffer, sizeof buffer, &got), core::Status::Ok);
      bytes.insert(bytes.end(), buffer, buffer + got);
    }
    return bytes;
  }
};

TEST_F(SerialPortTest, BytesArriveIntactBothWaysAndRaiseEventsWithCounts) {
  ASSERT_TRUE(OpenPort(port, pty.path() + ":115200,N,8,1"));
  EXPECT_EQ(LastError(port), 0);
  EXPECT_EQ(LastErrorText(port), "Last command completed succesfully");

  const auto bytes = AllByteValues();
  EXPECT_EQ(Write(bytes), 256);
  EXPECT_EQ(pty.ReadMaster(256), bytes);

  pty.WriteMaster(bytes);
  EXPECT_EQ(ReadPort(256), bytes);

  EXPECT_THAT(listener.sent, ElementsAre(256));
  EXPECT_EQ(std::accumulate(listener.received.begin(), listener.received.end(), 0), 256);
  EXPECT_EQ(listener.lastObj, &port);
}

TEST_F(SerialPortTest, ReadOfAnEmptyQueueReturnsZeroAndZeroesOnlyTheFirstByte) {
  ASSERT_TRUE(OpenPort(port, pty.path() + ":9600,N,8,1"));
  std::uint8_t buffer[4] = {0xAA, 0xAA, 0xAA, 0xAA};
  std::int32_t got = -1;
  EXPECT_EQ(port.BlockRead(buffer, 4, &got), core::Status::Ok);
  EXPECT_EQ(got, 0);
  EXPECT_THAT(buffer, ElementsAre(0, 0xAA, 0xAA, 0xAA));
  EXPECT_TRUE(listener.received.empty());

  // A buffer of no room is never written, not even its first byte.
  buffer[0] = 0xAA;
  EXPECT_EQ(port.BlockRead(buffer, 0, &got), core::Status::Ok);
  EXPECT_EQ(got, 0);
  EXPECT_EQ(buffer[0], 0xAA);
}

TEST_F(SerialPortTest, ShortReadMarksTheEndAndWritesNothingBeyondIt) {
  ASSERT_TRUE(OpenPort(port, pty.path() + ":9600,N,8,1"));
  pty.WriteMaster({1, 2, 3});
  ASSERT_TRUE(port.WaitReadable(std::chrono::milliseconds(1000)));
  std::uint8_t buffer[12];
  std::fill(std::begin(buffer), std::end(buffer), 0xAA);
  std::int32_t got = 0;
  EXPECT_EQ(port.BlockRead(buffer, 10, &got), core::Status::Ok);
  ASSERT_EQ(got, 3);
  EXPECT_THAT(buffer, ElementsAre(1, 2, 3, 0, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA));
  EXPECT_THAT(listener.received, ElementsAre(3));
}

TEST_F(SerialPortTest, LineSettingsAreAskedForAndReadBack) {
  ASSERT_TRUE(OpenPort(port, pty.path() + ":115200,E,7,2"));
  ASSERT_EQ(io.applied.size(), 1u);  // the line is configured once
  const termios asked = io.LastApplied();
  EXPECT_EQ(asked.c_cflag & (PARENB | PARODD | CMSPAR), tcflag_t{PARENB});
  EXPECT_EQ(asked.c_cflag & CSIZE, tcflag_t{CS7});
  EXPECT_TRUE(asked.c_cflag & CSTOPB);
  EXPECT_FALSE(asked.c_cflag & CRTSCTS);
  EXPECT_EQ(asked.c_iflag & (IXON | IXOFF), 0u);
  EXPECT_TRUE(io.modemRaised & TIOCM_DTR);
  EXPECT_TRUE(io.modemRaised & TIOCM_RTS);
  EXPECT_EQ(io.lowLatencySets.size(), 0u);  // the pseudo-terminal refuses to be asked
  EXPECT_EQ(port.GetAdapterReport(), "low latency refused");

  // The pseudo-terminal keeps what it can carry: speed and stop bits.
  const termios actual = pty.SlaveSettings();
  EXPECT_EQ(cfgetospeed(&actual), speed_t{B115200});
  EXPECT_TRUE(actual.c_cflag & CSTOPB);
  EXPECT_EQ(actual.c_cc[VMIN], 0);
  EXPECT_FALSE(actual.c_lflag & (ICANON | ECHO));
}

TEST_F(SerialPortTest, ComNamesMapToTtySDevicesAndTakeLowerCaseLetters) {
  io.redirect["/dev/ttyS2"] = pty.path();
  ASSERT_TRUE(OpenPort(port, "com3:9600,n,8,2"));
  EXPECT_EQ(io.opened.back(), "/dev/ttyS2");
  const termios asked = io.LastApplied();
  EXPECT_EQ(asked.c_cflag & PARENB, 0u);
  EXPECT_TRUE(asked.c_cflag & CSTOPB);
  const termios actual = pty.SlaveSettings();
  EXPECT_EQ(cfgetospeed(&actual), speed_t{B9600});
  EXPECT_TRUE(actual.c_cflag & CSTOPB);

  // The port number, not the device, is what the process-wide table counts.
  Port second(Over(io));
  EXPECT_FALSE(OpenPort(second, "COM3:9600,N,8,1"));
  EXPECT_THAT(second.GetSystemReason(), HasSubstr("already open"));

  io.openErrno = ENOENT;
  EXPECT_FALSE(OpenPort(second, "COM12:19200,N,8,1"));
  EXPECT_EQ(io.opened.back(), "/dev/ttyS11");
  EXPECT_THAT(second.GetSystemReason(), HasSubstr("/dev/ttyS11"));
}

TEST_F(SerialPortTest, ParityLettersAndCharacterSizes) {
  struct Case {
    const char* parameters;
    tcflag_t parity;
    tcflag_t size;
    bool longStop;
  };
  const Case cases[] = {
      {":9600,o,8,1", PARENB | PARODD, CS8, false},
      {":9600,M,8,1", PARENB | PARODD | CMSPAR, CS8, false},
      {":9600,s,6,1", PARENB | CMSPAR, CS6, false},
      {":9600,N,5,1", 0, CS5, true},  // 5 data bits ask for the long stop (1.5)
      {":9600,N,5,2", 0, CS5, true},
      {":9600,E,8,1", PARENB, CS8, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.parameters);
    Port p(Over(io));
    ASSERT_TRUE(OpenPort(p, pty.path() + c.parameters));
    const termios asked = io.LastApplied();
    EXPECT_EQ(asked.c_cflag & (PARENB | PARODD | CMSPAR), c.parity);
    EXPECT_EQ(asked.c_cflag & CSIZE, c.size);
    EXPECT_EQ((asked.c_cflag & CSTOPB) != 0, c.longStop);
    bool closed = false;
    EXPECT_EQ(p.Close(&closed), core::Status::Ok);
    EXPECT_TRUE(closed);
  }
}

// A line at other settings than asked would only garble what is sent: the
// open fails with the settings asked for and the reason, and frees the device.
TEST_F(SerialPortTest, RefusedLineParametersFailTheOpen) {
  for (const char* parameters : {":115200,X,8,1", ":115200,E,9,1", ":115200,E,8,3", ":0,E,8,1"}) {
    SCOPED_TRACE(parameters);
    Port p(Over(io));
    EXPECT_FALSE(OpenPort(p, pty.path() + parameters));
    EXPECT_NE(LastError(p), 0);
    EXPECT_THAT(p.GetSystemReason(),
                HasSubstr("line parameters " + std::string(parameters + 1) + " refused"));
    EXPECT_THAT(p.GetHint(), HasSubstr("does not support these settings"));
    EXPECT_FALSE(p.IsOpen());
  }
  EXPECT_TRUE(OpenPort(port, pty.path() + ":115200,E,8,1"));
}

TEST_F(SerialPortTest, WriteIsAcceptedOnlyUpToTheTransmitQueue) {
  ASSERT_TRUE(OpenPort(port, pty.path() + ":115200,N,8,1"));
  // The device takes nothing for now (held by flow control) and holds
  // nothing: what the port accepts waits in its own queue, whatever a
  // pseudo-terminal would take or report as queued at that moment.
  io.writeLimit = 0;
  io.fakeOutputQueue = 0;
  const std::vector<std::uint8_t> block(40000, 0x55);
  EXPECT_EQ(Write(block), 32768);
  EXPECT_EQ(LastError(port), 0);
  // A second block finds the queue full until the first has left.
  EXPECT_EQ(Write(block), 0);
  io.writeLimit.reset();
  EXPECT_EQ(DrainToMaster(32768).size(), 32768u);

  // What the device still holds takes its share of the room.
  io.fakeOutputQueue = 1000;
  EXPECT_EQ(Write(block), 32768 - 1000);
  io.fakeOutputQueue = 32768;
  EXPECT_EQ(Write(block), 0);
  EXPECT_THAT(listener.sent, ElementsAre(32768, 0, 31768, 0));
  EXPECT_EQ(LastError(port), 0);
}

TEST_F(SerialPortTest, SmallWritesAskForTheDeviceQueueOnlyWhenTheRoomMayBeShort) {
  ASSERT_TRUE(OpenPort(port, pty.path() + ":115200,N,8,1"));
  // A fresh port does not know what the device holds: the first write asks.
  io.fakeOutputQueue = 32768 - 10;
  EXPECT_EQ(Write(std::vector<std::uint8_t>(100, 0x33)), 10);
  EXPECT_EQ(io.outputQueueQuestions, 1);
  // The queue may be full now, so the next byte asks again; the device has
  // sent everything meanwhile.
  io.fakeOutputQueue = 0;
  EXPECT_EQ(Write({0x44}), 1);
  EXPECT_EQ(io.outputQueueQuestions, 2);
  io.fakeOutputQueue.reset();
  EXPECT_EQ(DrainToMaster(11).size(), 11u);

  // Acknowledgement bytes, one at a time, with room to spare: no question.
  for (int i = 0; i < 200; ++i) ASSERT_EQ(Write({static_cast<std::uint8_t>(i)}), 1);
  EXPECT_EQ(io.outputQueueQuestions, 2);
  EXPECT_EQ(DrainToMaster(200).size(), 200u);
}

TEST_F(SerialPortTest, BytesTheDeviceCannotTakeYetAreQueuedAndSentInOrder) {
  ASSERT_TRUE(OpenPort(port, pty.path() + ":115200,N,8,1"));
  io.writeLimit = 1000;
  std::vector<std::uint8_t> block(10000);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 7);
  EXPECT_EQ(Write(block), 10000);
  EXPECT_EQ(Write({0xEE}), 1);

  block.push_back(0xEE);
  EXPECT_EQ(DrainToMaster(block.size()), block);
}

TEST_F(SerialPortTest, CloseOfAStuckLineEndsWithinItsBound) {
  ASSERT_TRUE(OpenPort(port, pty.path() + ":115200,N,8,1"));
  io.writeLimit = 0;  // the device takes nothing (held by flow control)
  EXPECT_EQ(Write(std::vector<std::uint8_t>(100, 1)), 100);
  // Room is reported but nothing is taken: the wait must not turn into a spin.
  io.polls = 0;
  EXPECT_FALSE(port.WaitReadable(std::chrono::milliseconds(30)));
  EXPECT_LE(io.polls, 2);
  bool closed = false;
  EXPECT_EQ(port.Close(&closed), core::Status::Ok);
  EXPECT_TRUE(closed);
  EXPECT_TRUE(io.modemDropped & TIOCM_DTR);
  EXPECT_EQ(io.drains, 0);  // a stuck line is not waited for without bound
}

TEST_F(SerialPortTest, CloseLetsTheLastBytesLeaveBeforeTheDeviceCloses) {
  ASSERT_TRUE(OpenPort(port, pty.path() + ":115200,N,8,1"));
  EXPECT_EQ(Write({0x06}), 1);
  bool closed = false;
  EXPECT_EQ(port.Close(&closed), core::Status::Ok);
  EXPECT_EQ(io.drains, 1);
  EXPECT_EQ(pty.ReadMaster(1), std::vector<std::uint8_t>{0x06});
}

TEST_F(SerialPortTest, OpenCloseStates) {
  ASSERT_TRUE(OpenPort(port, pty.path()));
  EXPECT_FALSE(OpenPort(port, pty.path()));
  EXPECT_EQ(LastError(port), 2);
  EXPECT_EQ(LastErrorText(port), "Port already open");

  bool closed = false;
  EXPECT_EQ(port.Close(&closed), core::Status::Ok);
  EXPECT_TRUE(closed);
  EXPECT_EQ(port.Close(&closed), core::Status::Ok);
  EXPECT_FALSE(closed);
  EXPECT_EQ(LastError(port), 0);

  // Closed ports read and write nothing but still report the write.
  std::uint8_t buffer[2] = {9, 9};
  std::int32_t got = -1;
  EXPECT_EQ(port.BlockRead(buffer, 2, &got), core::Status::Ok);
  EXPECT_EQ(got, 0);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(Write({1}), 0);
  EXPECT_FALSE(port.WaitReadable(std::chrono::milliseconds(0)));

  EXPECT_TRUE(OpenPort(port, pty.path()));
}

TEST_F(SerialPortTest, SecondPortOnTheSameDeviceIsRefusedUntilTheFirstCloses) {
  ASSERT_TRUE(OpenPort(port, pty.path()));
  Port second(Over(io));
  EXPECT_FALSE(OpenPort(second, pty.path()));
  EXPECT_EQ(LastError(second), 1);
  EXPECT_EQ(LastErrorText(second), "Unable to open port");
  EXPECT_THAT(second.GetSystemReason(), HasSubstr("already open"));
  // The refused attempt must not have released the first port's hold.
  Port third(Over(io));
  EXPECT_FALSE(OpenPort(third, pty.path()));

  bool closed = false;
  port.Close(&closed);
  EXPECT_TRUE(OpenPort(second, pty.path()));
}

TEST_F(SerialPortTest, DeviceLockedByAnotherProgramIsReportedAsBusy) {
  // flock conflicts between separate opens even within one process, which
  // is what another program holding the device looks like.
  const int other = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_FALSE(OpenPort(port, pty.path()));
  EXPECT_EQ(LastError(port), 1);
  EXPECT_THAT(port.GetSystemReason(), HasSubstr("held by another program"));
  EXPECT_THAT(port.GetHint(), HasSubstr("fuser"));
  ::close(other);
  EXPECT_TRUE(OpenPort(port, pty.path()));
}

TEST_F(SerialPortTest, OpenFailuresGiveUnableToOpenAndAnActionableReason) {
  struct Case {
    std::string parameters;
    const char* reason;
    const char* hint;
  };
  const Case cases[] = {
      {"", "no port named", "COM1"},
      {"COM:9600,N,8,1", "no port named", "COM1"},
      {"COM0:9600", "no such port", "device path"},
      {"COM100000:9600", "no such port", "device path"},
      {"/dev/pelvane-no-such-device:9600", "No such file", "plugged in"},
      {"/dev/null:9600,N,8,1", "not a serial device", "serial device"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.parameters);
    EXPECT_FALSE(OpenPort(port, c.parameters));
    EXPECT_EQ(LastError(port), 1);
    EXPECT_EQ(LastErrorText(port), "Unable to open port");
    EXPECT_THAT(port.GetSystemReason(), HasSubstr(c.reason));
    EXPECT_THAT(port.GetHint(), HasSubstr(c.hint));
  }
  io.openErrno = EACCES;
  EXPECT_FALSE(OpenPort(port, pty.path()));
  EXPECT_THAT(port.GetSystemReason(), HasSubstr("Permission denied"));
  EXPECT_THAT(port.GetHint(), HasSubstr("usermod -aG"));
}

TEST_F(SerialPortTest, MissingResultLocationsGivePointerStatusAndChangeNothing) {
  std::uint8_t byte = 0;
  std::int32_t size = 0;
  EXPECT_EQ(port.Open("COM1", nullptr), core::Status::Pointer);
  EXPECT_EQ(port.Close(nullptr), core::Status::Pointer);
  EXPECT_EQ(port.BlockRead(nullptr, 1, &size), core::Status::Pointer);
  EXPECT_EQ(port.BlockRead(&byte, 1, nullptr), core::Status::Pointer);
  EXPECT_EQ(port.BlockWrite(nullptr, 1, &size), core::Status::Pointer);
  EXPECT_EQ(port.GetLastError(nullptr), core::Status::Pointer);
  EXPECT_EQ(port.GetLastErrorString(nullptr), core::Status::Pointer);
  EXPECT_TRUE(listener.sent.empty());
  EXPECT_FALSE(port.IsOpen());
}

TEST_F(SerialPortTest, UnadvisedListenersHearNothing) {
  ASSERT_TRUE(OpenPort(port, pty.path()));
  RecordingListener second;
  core::Cookie secondCookie = 0;
  ASSERT_EQ(port.Advise(&second, &secondCookie), core::Status::Ok);
  EXPECT_EQ(Write({1, 2}), 2);
  EXPECT_EQ(port.Unadvise(cookie), core::Status::Ok);
  EXPECT_EQ(Write({3}), 1);
  EXPECT_THAT(listener.sent, ElementsAre(2));
  EXPECT_THAT(second.sent, ElementsAre(2, 1));
}

TEST_F(SerialPortTest, WaitReadableSleepsUntilInputOrTimeOut) {
  ASSERT_TRUE(OpenPort(port, pty.path()));
  EXPECT_FALSE(port.WaitReadable(std::chrono::milliseconds(20)));
  pty.WriteMaster({42});
  EXPECT_TRUE(port.WaitReadable(std::chrono::milliseconds(1000)));
}

TEST_F(SerialPortTest, VanishedDeviceIsNoticedAndReported) {
  ASSERT_TRUE(OpenPort(port, pty.path()));
  pty.CloseSlave();  // only the port keeps the slave now
  pty.CloseMaster();
  EXPECT_TRUE(port.WaitReadable(std::chrono::milliseconds(1000)));
  EXPECT_TRUE(port.IsDeviceLost());
  std::uint8_t byte = 7;
  std::int32_t got = -1;
  EXPECT_EQ(port.BlockRead(&byte, 1, &got), core::Status::Ok);
  EXPECT_EQ(got, 0);
  EXPECT_EQ(byte, 0);
  EXPECT_EQ(LastError(port), 1);
  // Asking again does not return at once forever; it keeps saying so.
  EXPECT_TRUE(port.WaitReadable(std::chrono::milliseconds(1)));
  bool closed = false;
  EXPECT_EQ(port.Close(&closed), core::Status::Ok);
  EXPECT_TRUE(closed);
}

TEST_F(SerialPortTest, DestroyingAnOpenPortFreesTheDevice) {
  {
    Port first(Over(io));
    ASSERT_TRUE(OpenPort(first, pty.path()));
  }
  EXPECT_TRUE(OpenPort(port, pty.path()));
}

// The session's worker waits and reads while the owner's side (here: the
// instrument) writes from another thread.
TEST_F(SerialPortTest, WorkerThreadCollectsEverySentByte) {
  ASSERT_TRUE(OpenPort(port, pty.path() + ":115200,N,8,1"));
  std::vector<std::uint8_t> expected;
  for (int i = 0; i < 5000; ++i) expected.push_back(static_cast<std::uint8_t>(i % 251));
  std::vector<std::uint8_t> collected;
  std::thread worker([&] { collected = ReadPort(expected.size()); });
  for (std::size_t i = 0; i < expected.size(); i += 500)
    pty.WriteMaster({expected.begin() + i, expected.begin() + i + 500});
  worker.join();
  EXPECT_EQ(collected, expected);
}

// A user interface may ask why the link failed while the worker still reads.
TEST_F(SerialPortTest, DiagnosticsCanBeReadWhileTheWorkerNoticesTheLoss) {
  ASSERT_TRUE(OpenPort(port, pty.path()));
  std::atomic<bool> stop{false};
  std::thread worker([&] {
    std::uint8_t byte = 0;
    std::int32_t got = 0;
    while (!stop) {
      port.WaitReadable(std::chrono::milliseconds(5));
      port.BlockRead(&byte, 1, &got);
    }
  });
  pty.CloseSlave();
  pty.CloseMaster();
  for (int pass = 0; pass < 2000 && !port.IsDeviceLost(); ++pass) {
    EXPECT_EQ(port.GetHint().find("dialout"), std::string::npos);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  stop = true;
  worker.join();
  EXPECT_TRUE(port.IsDeviceLost());
  EXPECT_THAT(port.GetSystemReason(), HasSubstr(pty.path()));
}

TEST(SerialPortMessages, TableHoldsTheComponentTexts) {
  EXPECT_EQ(MessageText(kMessageModuleName), "corlane");
  EXPECT_EQ(MessageText(101), "Last command completed succesfully");
  EXPECT_EQ(MessageText(102), "Unable to open port");
  EXPECT_EQ(MessageText(103), "Port already open");
  EXPECT_TRUE(MessageText(104).empty());
}

TEST(SerialPortFactory, CreatesAPortThatAlsoWaitsAndDiagnoses) {
  auto port = CreateSerialPort();
  ASSERT_TRUE(port);
  EXPECT_NE(dynamic_cast<IQX_PortWait*>(port.get()), nullptr);
  EXPECT_NE(dynamic_cast<IQX_PortDiagnostics*>(port.get()), nullptr);
}

// Waiting for a device looks at it without opening it: an open raises DTR and
// RTS and the close drops them, which resets an instrument whose cable wires
// those lines.
TEST(DeviceReady, LooksAtTheDeviceWithoutOpeningIt) {
  PtyPair pty;
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, pty.path().c_str(), IN_OPEN), 0);
  char events[1024];
  EXPECT_TRUE(DeviceReady(pty.path()));
  EXPECT_LT(::read(watch, events, sizeof events), 0);
  // The watch does see an open.
  const int fd = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  ::close(fd);
  EXPECT_GT(::read(watch, events, sizeof events), 0);
  ::close(watch);
  EXPECT_FALSE(DeviceReady("/dev/pelvane-no-such-device"));
  EXPECT_FALSE(DeviceReady("/proc/self/status"));  // a file where a device belongs
}

}  // namespace
}  // namespace pelvane::ports::serial
