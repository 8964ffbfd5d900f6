#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <string>
#include <vector>

#include "ports/recording_tty_io.h"
#include "ports/serial_line/line_errors.h"
#include "ports/serial_line/line_settings.h"
#include "ports/serial_line/line_user.h"
#include "ports/serial_line/open_count_table.h"
#include "ports/serial_line/system_error.h"
#include "ports/serial_line/termios_serial_line.h"
#include "ports/serial_line/uucp_lock.h"
#include "support/pty_pair.h"

namespace pelvane::ports::serial_line {
namespace {

using pelvane::testing::PtyPair;
using ::testing::HasSubstr;
using testing::RecordingTtyIo;
using ::testing::StartsWith;

class SerialLineTest : public ::testing::Test {
 protected:
  PtyPair pty;
  RecordingTtyIo io;

  LineName Name() const { return {0, pty.path()}; }
};

TEST_F(SerialLineTest, OpensRawAt19200WithDtrAndRtsRaised) {
  TermiosSerialLine line(io, Name());
  ASSERT_EQ(line.ErrorCode(), kLineOk);
  LineParameters p;
  ASSERT_EQ(line.GetLineParameters(&p), kLineOk);
  EXPECT_EQ(p, (LineParameters{19200, 'N', 8, 1}));
  EXPECT_EQ(io.modemRaised, TIOCM_DTR | TIOCM_RTS);
  EXPECT_EQ(line.LineBit(kBitDtr, -1), 1);
  EXPECT_EQ(line.LineBit(kBitRts, -1), 1);
  EXPECT_EQ(line.LineBit(99, -1), kBitUnknown);
}

TEST_F(SerialLineTest, RefusedLineParametersChangeNothing) {
  TermiosSerialLine line(io, Name());
  const std::size_t applied = io.applied.size();
  EXPECT_EQ(line.SetLineParameters({9600, 'X', 8, 1}), kBadParity);
  EXPECT_EQ(line.SetLineParameters({9600, 'N', 9, 1}), kBadDataBits);
  EXPECT_EQ(line.SetLineParameters({9600, 'N', 4, 1}), kBadDataBits);  // no 4-bit size on Linux
  EXPECT_EQ(line.SetLineParameters({9600, 'N', 8, 3}), kBadStopBits);
  EXPECT_EQ(line.SetLineParameters({-9600, 'N', 8, 1}), kGeneralFailure);
  EXPECT_EQ(io.applied.size(), applied);
  EXPECT_EQ(line.TakeErrorCode(), kGeneralFailure);
  EXPECT_EQ(line.ErrorCode(), kLineOk);
}

TEST_F(SerialLineTest, RatesWithoutAConstantUseTheCustomRate) {
  TermiosSerialLine line(io, Name());
  ASSERT_EQ(line.SetLineParameters({250000, 'N', 8, 1}), kLineOk);
  ASSERT_FALSE(io.customBauds.empty());
  EXPECT_EQ(io.customBauds.back(), 250000u);
  LineParameters p;
  ASSERT_EQ(line.GetLineParameters(&p), kLineOk);
  EXPECT_EQ(p.baud, 250000);
}

TEST_F(SerialLineTest, SettingsHoldersRestoreWhatTheyFound) {
  TermiosSerialLine line(io, Name());
  ASSERT_EQ(line.SetFlowControl(kFlowTypeRts, kFlowKindCts), kLineOk);
  EXPECT_TRUE(io.LastApplied().c_cflag & CRTSCTS);
  {
    LineUser user(line);
    LineParameters p;
    line.GetLineParameters(&p);
    EXPECT_EQ(p.baud, 9600);
    EXPECT_FALSE(io.LastApplied().c_cflag & CRTSCTS);
    {
      LineSettings settings(line);
      EXPECT_EQ(settings.Saved().baud, 9600);
      line.GetLineParameters(&p);
      EXPECT_EQ(p.baud, 1200);
      EXPECT_EQ(settings.Set({57600, 'N', 8, 2}), kLineOk);
      EXPECT_EQ(settings.Current().baud, 57600);
    }
    line.GetLineParameters(&p);
    EXPECT_EQ(p, (LineParameters{9600, 'N', 8, 1}));
  }
  // The user switched flow control off while it existed and gave back what it found.
  EXPECT_TRUE(io.LastApplied().c_cflag & CRTSCTS);
  int type = -1, kind = -1;
  line.GetFlowControl(&type, &kind);
  EXPECT_EQ(type, kFlowTypeRts);
  EXPECT_EQ(kind, kFlowKindCts);
  LineParameters p;
  line.GetLineParameters(&p);
  EXPECT_EQ(p.baud, 19200);
}

TEST_F(SerialLineTest, FlowControlCodes) {
  TermiosSerialLine line(io, Name());
  EXPECT_EQ(line.SetFlowControl(kFlowTypeXonXoff, kFlowKindXonXoff), kLineOk);
  EXPECT_EQ(io.LastApplied().c_iflag & (IXON | IXOFF), tcflag_t{IXON | IXOFF});
  EXPECT_EQ(line.SetFlowControl(kFlowTypeDtr, 0), kNotSupported);
  EXPECT_EQ(line.SetFlowControl(kFlowTypeUnsupported, 0), kNotSupported);
  EXPECT_EQ(line.SetFlowControl(7, 0), kUnknownFlowType);
  EXPECT_EQ(line.SetFlowControl(0, kFlowKindDsr), kNotSupported);
  EXPECT_EQ(line.SetFlowControl(0, 7), kUnknownFlowKind);
  int type = -1, kind = -1;
  line.GetFlowControl(&type, &kind);
  EXPECT_EQ(type, kFlowTypeXonXoff);  // refused settings were not stored
  EXPECT_EQ(kind, kFlowKindXonXoff);
  EXPECT_EQ(line.SetFlowControl(kFlowNone, kFlowNone), kLineOk);
  EXPECT_EQ(io.LastApplied().c_iflag & (IXON | IXOFF), 0u);
}

TEST_F(SerialLineTest, OpenCountKeepsASecondLineOutAndIsNotReleasedByIt) {
  struct stat st {};
  ASSERT_EQ(::stat(pty.path().c_str(), &st), 0);
  const LineKey key{-1, st.st_rdev};
  {
    TermiosSerialLine first(io, Name());
    EXPECT_EQ(OpenCountTable::Instance().Count(key), 1);
    {
      TermiosSerialLine second(io, Name());
      EXPECT_EQ(second.ErrorCode(), kAlreadyOpen);
      EXPECT_FALSE(second.IsOpen());
    }
    EXPECT_EQ(OpenCountTable::Instance().Count(key), 1);
    EXPECT_TRUE(first.IsOpen());
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
    TermiosSerialLine held(io, Name());
    EXPECT_FALSE(held.IsOpen());
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
    TermiosSerialLine line(io, Name());
    ASSERT_TRUE(line.IsOpen()) << line.Problem().reason;
    std::ifstream in(lock);
    pid_t owner = 0;
    in >> owner;
    EXPECT_EQ(owner, ::getpid());
  }
  EXPECT_FALSE(std::filesystem::exists(lock));
}

TEST(OpenCountTable, PortNumbersOutsideTheTableFailCleanly) {
  RecordingTtyIo io;
  for (int number : {0, -3, OpenCountTable::kPorts + 1}) {
    TermiosSerialLine line(io, {number, ""});
    EXPECT_EQ(line.ErrorCode(), kGeneralFailure);
    EXPECT_THAT(line.Problem().reason, HasSubstr("no such port"));
  }
  EXPECT_EQ(OpenCountTable::Instance().Count({OpenCountTable::kPorts - 1, 0}), 0);
  EXPECT_TRUE(OpenCountTable::InRange(31));
  EXPECT_FALSE(OpenCountTable::InRange(OpenCountTable::kPorts));
}

TEST(OpenCountTable, NeverCountsBelowZero) {
  OpenCountTable& table = OpenCountTable::Instance();
  const LineKey key{40, 0};
  table.Release(key);
  EXPECT_EQ(table.Count(key), 0);
  EXPECT_TRUE(table.TryAcquire(key));
  EXPECT_FALSE(table.TryAcquire(key));
  table.Release(key);
  table.Release(key);
  EXPECT_EQ(table.Count(key), 0);
}

TEST_F(SerialLineTest, LineUserReadsWithATimeOutAndMarksTheEnd) {
  TermiosSerialLine line(io, Name());
  LineUser user(line);
  pty.WriteMaster({'a', 'b'});
  std::uint8_t buffer[8];
  std::fill(std::begin(buffer), std::end(buffer), 0xAA);
  EXPECT_EQ(user.BlockRead({buffer, 5}, std::chrono::milliseconds(30)), 2);
  EXPECT_EQ(buffer[0], 'a');
  EXPECT_EQ(buffer[1], 'b');
  EXPECT_EQ(buffer[2], 0);
  EXPECT_EQ(buffer[3], 0xAA);
  EXPECT_EQ(user.ReadByte(std::chrono::milliseconds(5)), kNoByte);
  pty.WriteMaster({0xFF});
  EXPECT_EQ(user.ReadByte(std::chrono::milliseconds(1000)), 0xFF);
  EXPECT_EQ(user.BlockWrite({static_cast<const std::uint8_t*>(nullptr), 0}), 0);
}

TEST_F(SerialLineTest, BytesWrittenOneByOneAndAheadArrive) {
  TermiosSerialLine line(io, Name());
  EXPECT_EQ(line.WriteByte('x'), kLineOk);
  EXPECT_EQ(line.WriteText("yz"), kLineOk);
  EXPECT_EQ(line.SendByteAhead('!'), kLineOk);
  const auto bytes = pty.ReadMaster(4);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "xyz!");
}

TEST_F(SerialLineTest, PurgeDropsWaitingInput) {
  TermiosSerialLine line(io, Name());
  pty.WriteMaster({1, 2, 3, 4, 5});
  ASSERT_TRUE(line.WaitReadable(1000));
  EXPECT_EQ(line.Purge(0, 2), kGeneralFailure);  // the full count: more may wait
  EXPECT_EQ(line.ReadByte(), 3);
  EXPECT_EQ(line.Purge(0, 10), kLineOk);
  EXPECT_EQ(line.ReadByte(), kNoByte);
}

TEST_F(SerialLineTest, StatusDumpGivesSixLines) {
  TermiosSerialLine line(io, Name());
  std::vector<std::string> lines;
  line.StatusDump([&](std::string_view text) { lines.emplace_back(text); });
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_THAT(lines[0], StartsWith("Port type: Linux termios  BaudRate: 19200"));
  EXPECT_THAT(lines[3], HasSubstr("XonChar: 11  XoffChar: 13"));
  EXPECT_THAT(lines[5], StartsWith("RX sz/ct:  4096/"));
}

TEST_F(SerialLineTest, QueueSizesAreKeptAndBoundWrites) {
  TermiosSerialLine line(io, Name());
  ASSERT_EQ(line.SetQueueSizes(0, 0, 100), kLineOk);
  QueueStatus status;
  ASSERT_EQ(line.GetQueueStatus(&status), kLineOk);
  EXPECT_EQ(status.receiveSize, kDefaultReceiveQueue);
  EXPECT_EQ(status.transmitSize, 100);
  const std::vector<std::uint8_t> block(150, 7);
  EXPECT_EQ(line.WriteBlock(block), 100);
  EXPECT_EQ(line.TakeErrorCode(), kShortWrite);
}

TEST(SerialLineClosed, OperationsOnALineThatFailedToOpenDoNothing) {
  RecordingTtyIo io;
  TermiosSerialLine line(io, {0, "/dev/pelvane-no-such-device"});
  EXPECT_EQ(line.ErrorCode(), kGeneralFailure);
  EXPECT_THAT(line.Problem().reason, HasSubstr("/dev/pelvane-no-such-device"));
  std::uint8_t byte = 0;
  EXPECT_EQ(line.ReadBlock({&byte, 1}), 0);
  EXPECT_EQ(line.WriteBlock(std::span<const std::uint8_t>(&byte, 1)), 0);
  EXPECT_FALSE(line.WaitReadable(0));
  EXPECT_TRUE(io.applied.empty());
}

TEST(DescribeSystemError, NamesTheCauseAndWhatToDo) {
  const SystemProblem denied = DescribeSystemError(EACCES, "/dev/pelvane-none", "open");
  EXPECT_EQ(denied.lineCode, kGeneralFailure);
  EXPECT_EQ(denied.kind, ProblemKind::kPermissionDenied);
  EXPECT_EQ(denied.reason, "/dev/pelvane-none: open: Permission denied");
  EXPECT_THAT(denied.hint, HasSubstr("'dialout' group"));

  EXPECT_EQ(DescribeSystemError(ENOENT, "/dev/x", "open").kind, ProblemKind::kMissing);
  EXPECT_THAT(DescribeSystemError(EBUSY, "/dev/x", "open").hint, HasSubstr("fuser -v /dev/x"));
  // A port without hardware behind it fails to open with EIO; in use, EIO
  // means the device went away.
  EXPECT_EQ(DescribeSystemError(EIO, "/dev/ttyS3", "open").kind, ProblemKind::kMissing);
  EXPECT_EQ(DescribeSystemError(EIO, "/dev/ttyS3", "transfer").kind, ProblemKind::kVanished);
  EXPECT_EQ(DescribeSystemError(ENOTTY, "/dev/null", "open").kind, ProblemKind::kNotSerial);
}

TEST(LineErrorText, EveryLibraryCodeHasItsOwnText) {
  const int codes[] = {kLineOk,          kGeneralFailure, kNoByte,      kNotSupported,
                       kShortWrite,      kBreakFailed,    kCloseFailed, kUnknownFlowType,
                       kUnknownFlowKind, kNoMemory,       kAlreadyOpen, kBadParity,
                       kBadStopBits,     kBadDataBits};
  std::vector<std::string_view> texts;
  for (int code : codes) texts.push_back(LineErrorText(code));
  std::sort(texts.begin(), texts.end());
  EXPECT_EQ(std::unique(texts.begin(), texts.end()), texts.end());
  EXPECT_EQ(LineErrorText(-1), "unknown serial line error");
}

}  // namespace
}  // namespace pelvane::ports::serial_line
