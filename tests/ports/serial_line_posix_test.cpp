#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iomanip>
#include <string>

#include "ports/recording_tty_io.h"
#include "ports/serial_line/open_count_table.h"
#include "ports/serial_line/posix/system_error.h"
#include "ports/serial_line/posix/termios_serial_line.h"
#include "ports/serial_line/posix/uucp_lock.h"
#include "support/pty_pair.h"

namespace pelvane::ports::serial_line {
namespace {

using pelvane::test::PtyPair;
using test::RecordingTtyIo;
using testing::HasSubstr;

class SerialLineTest : public testing::Test {
 protected:
  PtyPair pty;
  RecordingTtyIo io;

  LineName Name() const { return {-1, pty.path()}; }

  // Gives the pseudo-terminal settings of its own, as another program would
  // have left them: a line must find them again after it closed.
  termios LeaveSettings(speed_t speed, tcflag_t cflagOn, tcflag_t lflagOn) {
    termios tio = pty.SlaveSettings();
    ::cfsetspeed(&tio, speed);
    tio.c_cflag |= cflagOn;
    tio.c_lflag |= lflagOn;
    ::tcsetattr(pty.slave(), TCSANOW, &tio);
    return pty.SlaveSettings();
  }
};

TEST_F(SerialLineTest, ConfiguresOnceAtOpenAndPutsTheFoundSettingsBackAtClose) {
  const termios found = LeaveSettings(B2400, 0, ICANON | ECHO);
  {
    TermiosSerialLine line(io);
    ASSERT_TRUE(line.Open(Name(), LineParameters{57600, 'E', 7, 2})) << line.Problem().reason;
    ASSERT_EQ(io.applied.size(), 1u);
    const termios& asked = io.applied[0];
    EXPECT_EQ(cfgetospeed(&asked), speed_t{B57600});
    EXPECT_EQ(asked.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB),
              tcflag_t{CS7 | PARENB | CSTOPB});
    EXPECT_FALSE(asked.c_cflag & CRTSCTS);
    EXPECT_EQ(asked.c_iflag & (IXON | IXOFF | IXANY), 0u);
    EXPECT_EQ(asked.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(asked.c_cc[VMIN], 0);
    EXPECT_EQ(asked.c_cc[VTIME], 0);
    EXPECT_EQ(io.modemRaised, TIOCM_DTR | TIOCM_RTS);
    EXPECT_EQ(line.Parameters(), (LineParameters{57600, 'E', 7, 2}));
  }
  EXPECT_EQ(io.modemDropped, TIOCM_DTR | TIOCM_RTS);
  const termios after = pty.SlaveSettings();
  EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&found));
  EXPECT_EQ(after.c_lflag & (ICANON | ECHO), tcflag_t{ICANON | ECHO});
}

TEST_F(SerialLineTest, ABareDeviceNameKeepsTheDevicesSpeedAndFraming) {
  LeaveSettings(B4800, CSTOPB, 0);
  TermiosSerialLine line(io);
  ASSERT_TRUE(line.Open(Name(), std::nullopt)) << line.Problem().reason;
  ASSERT_EQ(io.applied.size(), 1u);
  EXPECT_EQ(cfgetospeed(&io.applied[0]), speed_t{B4800});
  EXPECT_TRUE(io.applied[0].c_cflag & CSTOPB);
  EXPECT_EQ(io.applied[0].c_lflag & ICANON, 0u);  // raw all the same
  EXPECT_EQ(line.Parameters(), (LineParameters{4800, 'N', 8, 2}));
}

TEST_F(SerialLineTest, SettingsNoTermiosLineCarriesAreRefusedBeforeTheDeviceIsTouched) {
  struct Case {
    LineParameters parameters;
    const char* reason;
  };
  const Case cases[] = {
      {{9600, 'X', 8, 1}, "9600,X,8,1 refused: unknown parity letter"},
      {{9600, 0, 8, 1}, "9600,(none),8,1 refused: unknown parity letter"},
      {{9600, 'N', 9, 1}, "data bits not 5 to 8"},
      {{9600, 'N', 4, 1}, "data bits not 5 to 8"},  // Linux has no 4-bit characters
      {{9600, 'N', 8, 3}, "stop bits not 1 or 2"},
      {{-9600, 'N', 8, 1}, "baud rate not above 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    TermiosSerialLine line(io);
    EXPECT_FALSE(line.Open(Name(), c.parameters));
    EXPECT_EQ(line.Problem().kind, ProblemKind::kRejected);
    EXPECT_THAT(line.Problem().reason, HasSubstr(pty.path() + ": line parameters "));
    EXPECT_THAT(line.Problem().reason, HasSubstr(c.reason));
  }
  EXPECT_TRUE(io.opened.empty());
}

TEST_F(SerialLineTest, RatesWithoutAConstantUseTheCustomRateUntilClose) {
  const termios found = LeaveSettings(B9600, 0, 0);
  {
    TermiosSerialLine line(io);
    ASSERT_TRUE(line.Open(Name(), LineParameters{250000, 'N', 8, 1}));
    EXPECT_THAT(io.customBauds, testing::ElementsAre(250000u));
    EXPECT_EQ(line.Parameters().baud, 250000);
  }
  const termios after = pty.SlaveSettings();
  EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&found));
}

// What the driver does with the low-latency request is read back, not
// assumed, and a flag the line set is cleared again at close.
TEST_F(SerialLineTest, LowLatencyIsCheckedAfterAskingAndPutBackAtClose) {
  struct Case {
    const char* name;
    bool onAtOpen, refused, ignored, timerFollows;
    LowLatency outcome;
    std::vector<bool> sets;  // the requests of open and close
    const char* report;
  };
  const Case cases[] = {
      {"kept",
       false,
       false,
       false,
       true,
       LowLatency::kKept,
       {true, false},
       "driver ftdi_sio, low latency kept, latency timer 1 ms"},
      {"on already",
       true,
       false,
       false,
       false,
       LowLatency::kKept,
       {},
       "driver ftdi_sio, low latency kept, latency timer 1 ms"},
      {"refused",
       false,
       true,
       false,
       false,
       LowLatency::kRefused,
       {true},
       "driver ftdi_sio, low latency refused, latency timer 16 ms"},
      {"flag ignored",
       false,
       false,
       true,
       false,
       LowLatency::kIgnored,
       {true, false},
       "driver ftdi_sio, low latency ignored, latency timer 16 ms"},
      // The flag sticks but the adapter still holds each byte for 16 ms.
      {"timer unchanged",
       false,
       false,
       false,
       false,
       LowLatency::kIgnored,
       {true, false},
       "driver ftdi_sio, low latency ignored, latency timer 16 ms"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingTtyIo driver;
    driver.lowLatency = c.onAtOpen;
    driver.lowLatencyRefused = c.refused;
    driver.lowLatencyIgnored = c.ignored;
    driver.ftdiTimerFollows = c.timerFollows;
    driver.sysfs = {{"driver", "ftdi_sio"}, {"latency_timer", c.onAtOpen ? "1" : "16"}};
    {
      TermiosSerialLine line(driver);
      ASSERT_TRUE(line.Open(Name(), LineParameters{115200, 'N', 8, 1})) << line.Problem().reason;
      EXPECT_EQ(line.Adapter().lowLatency, c.outcome);
      EXPECT_EQ(DescribeAdapter(line.Adapter()), c.report);
    }
    EXPECT_EQ(driver.lowLatencySets, c.sets);
    EXPECT_EQ(driver.lowLatency, c.onAtOpen);  // as the line found it
  }
}

TEST_F(SerialLineTest, OpenCountKeepsASecondLineOutAndIsNotReleasedByIt) {
  struct stat st {};
  ASSERT_EQ(::stat(pty.path().c_str(), &st), 0);
  const LineKey key{-1, std::to_string(st.st_rdev)};
  {
    TermiosSerialLine first(io);
    ASSERT_TRUE(first.Open(Name(), std::nullopt));
    EXPECT_EQ(OpenCountTable::Instance().Count(key), 1);
    {
      TermiosSerialLine second(io);
      EXPECT_FALSE(second.Open(Name(), std::nullopt));
      EXPECT_EQ(second.Problem().kind, ProblemKind::kBusy);
      EXPECT_THAT(second.Problem().reason, HasSubstr("already open in this program"));
    }
    EXPECT_EQ(OpenCountTable::Instance().Count(key), 1);
  }
  EXPECT_EQ(OpenCountTable::Instance().Count(key), 0);
}

// Another program that announced its use in a UUCP lock file (minicom,
// screen) keeps Pelvane out and is named; a lock whose process is gone is
// removed, and Pelvane's own lock goes with the line.
TEST_F(SerialLineTest, UucpLocksOfLiveProgramsAreHonouredAndStaleOnesRemoved) {
  const std::string lock = std::string(kLockFolder) + "/" + UucpLock::LockName(pty.path());
  EXPECT_EQ(lock,
            std::string(kLockFolder) + "/LCK.." +
                pty.path().substr(std::char_traits<char>::length("/dev/")).replace(3, 1, "_"));
  if (::access(kLockFolder, W_OK) != 0) GTEST_SKIP() << "no writable " << kLockFolder;
  const auto writeLock = [&](pid_t pid) { std::ofstream(lock) << std::setw(10) << pid << "\n"; };

  writeLock(::getppid());
  {
    TermiosSerialLine held(io);
    EXPECT_FALSE(held.Open(Name(), std::nullopt));
    EXPECT_EQ(held.Problem().kind, ProblemKind::kBusy);
    EXPECT_THAT(held.Problem().reason, HasSubstr("(pid " + std::to_string(::getppid()) + ")"));
    EXPECT_THAT(held.Problem().reason, HasSubstr(lock));
  }
  // A child that has ended and been reaped: its pid names no process.
  const pid_t gone = ::fork();
  if (gone == 0) ::_exit(0);
  ::waitpid(gone, nullptr, 0);
  writeLock(gone);
  {
    TermiosSerialLine line(io);
    ASSERT_TRUE(line.Open(Name(), std::nullopt)) << line.Problem().reason;
    std::ifstream in(lock);
    pid_t owner = 0;
    in >> owner;
    EXPECT_EQ(owner, ::getpid());
  }
  EXPECT_FALSE(std::filesystem::exists(lock));

  // A live process of another user cannot be signalled (kill gives EPERM),
  // yet its lock holds. pid 1 is such a process for anyone but root, so the
  // check runs as nobody when the tests run as root.
  char folder[] = "/tmp/pelvane-lock-XXXXXX";
  ASSERT_NE(::mkdtemp(folder), nullptr);
  ::chmod(folder, 0777);
  std::ofstream(std::string(folder) + "/" + UucpLock::LockName("/dev/ttyS7"))
      << std::setw(10) << 1 << "\n";
  const pid_t other = ::fork();
  if (other == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(99);
    UucpLock byOther;
    ::_exit(static_cast<int>(byOther.Acquire("/dev/ttyS7", folder)));
  }
  int status = 0;
  ::waitpid(other, &status, 0);
  std::filesystem::remove_all(folder);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 99) GTEST_SKIP() << "cannot act as another user here";
  EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(UucpLock::Outcome::kHeld));
}

// The lock folder is everyone's: what a neighbour plants under a lock's name
// is read without waiting (a FIFO), without following it (a link), without
// holding it (a sparse file of 512 MiB), and counts as a foreign lock that
// keeps Pelvane out with a clear account, never as stale and never as a hang.
TEST_F(SerialLineTest, HostileLockFilesKeepTheLineClosedWithoutAHang) {
  namespace fs = std::filesystem;
  const std::string lock = std::string(kLockFolder) + "/" + UucpLock::LockName(pty.path());
  if (::access(kLockFolder, W_OK) != 0) GTEST_SKIP() << "no writable " << kLockFolder;
  const struct {
    const char* kind;
    std::function<void()> plant;
    const char* reason;
  } rows[] = {
      {"fifo", [&] { ::mkfifo(lock.c_str(), 0644); }, "not a regular file"},
      {"folder", [&] { fs::create_directory(lock); }, "not a regular file"},
      {"link", [&] { fs::create_symlink("/etc/passwd", lock); }, "not a regular file"},
      {"sparse file",
       [&] {
         std::ofstream(lock).close();
         fs::resize_file(lock, std::uintmax_t{512} << 20);
       },
       "larger than any lock file"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.kind);
    row.plant();
    {
      TermiosSerialLine line(io);
      EXPECT_FALSE(line.Open(Name(), std::nullopt));
      EXPECT_EQ(line.Problem().kind, ProblemKind::kBusy);
      EXPECT_THAT(line.Problem().reason, HasSubstr("lock file " + lock + " is " + row.reason));
      EXPECT_THAT(line.Problem().hint, HasSubstr("remove " + lock));
    }
    EXPECT_TRUE(fs::exists(fs::symlink_status(lock)));
    fs::remove(lock);
  }
}

TEST(OpenCountTable, PortNumbersOutsideTheTableFailCleanly) {
  RecordingTtyIo io;
  for (int number : {0, -3, OpenCountTable::kPorts + 1}) {
    TermiosSerialLine line(io);
    EXPECT_FALSE(line.Open({number, ""}, std::nullopt));
    EXPECT_THAT(line.Problem().reason, HasSubstr("no such port"));
  }
  EXPECT_TRUE(io.opened.empty());
  EXPECT_EQ(OpenCountTable::Instance().Count({OpenCountTable::kPorts - 1, ""}), 0);
  EXPECT_TRUE(OpenCountTable::InRange(31));
  EXPECT_FALSE(OpenCountTable::InRange(OpenCountTable::kPorts));
}

TEST(OpenCountTable, NeverCountsBelowZero) {
  OpenCountTable& table = OpenCountTable::Instance();
  const LineKey key{40, ""};
  table.Release(key);
  EXPECT_EQ(table.Count(key), 0);
  EXPECT_TRUE(table.TryAcquire(key));
  EXPECT_FALSE(table.TryAcquire(key));
  table.Release(key);
  table.Release(key);
  EXPECT_EQ(table.Count(key), 0);
}

TEST(DescribeSystemError, NamesTheCauseAndWhatToDo) {
  const SystemProblem denied = DescribeSystemError(EACCES, "/dev/pelvane-none", kStepOpen);
  EXPECT_EQ(denied.kind, ProblemKind::kPermissionDenied);
  EXPECT_EQ(denied.reason, "/dev/pelvane-none: open: Permission denied");
  EXPECT_THAT(denied.hint, HasSubstr("'dialout' group"));

  EXPECT_EQ(DescribeSystemError(ENOENT, "/dev/x", kStepOpen).kind, ProblemKind::kMissing);
  EXPECT_THAT(DescribeSystemError(EBUSY, "/dev/x", kStepOpen).hint, HasSubstr("fuser -v /dev/x"));
  EXPECT_EQ(DescribeSystemError(ENOTTY, "/dev/null", kStepOpen).kind, ProblemKind::kNotSerial);
  EXPECT_EQ(DescribeSystemError(EINVAL, "/dev/x", "line parameters 1,N,8,1 refused").kind,
            ProblemKind::kRejected);
  // A port without hardware behind it fails to open with EIO; in use, EIO
  // and its kin mean the device went away for good.
  EXPECT_EQ(DescribeSystemError(EIO, "/dev/ttyS3", kStepOpen).kind, ProblemKind::kMissing);
  for (int errnum : {EIO, ENXIO, ENODEV, EBADF})
    EXPECT_EQ(DescribeSystemError(errnum, "/dev/ttyS3", kStepTransfer).kind,
              ProblemKind::kVanished);
}

}  // namespace
}  // namespace pelvane::ports::serial_line
