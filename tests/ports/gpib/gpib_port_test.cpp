// The GPIB port over a scripted driver: the calls it makes, the transfer-result
// rules, the last error with its status word, and the events.
#include <array>
#include <cstdint>

#include "fake_port_fixture.h"
#include "ports/gpib/gpib_messages.h"

namespace pelvane::ports::gpib::test {
namespace {

using core::Status;
using testing::ElementsAre;
using testing::IsEmpty;

constexpr int kTimedOut = kErr | kTimo;

using GpibPortOpenTest = FakeDriverTest;

TEST_F(GpibPortOpenTest, EveryParameterTextOpensBoardZeroAddress28) {
  for (const std::string parameters : {"GPIB0", "", "GPIB3", "COM1:115200,E,8,1"}) {
    fake_gpib_reset();
    auto fresh = CreateGpibPort(binding);
    bool opened = false;
    ASSERT_EQ(fresh->Open(parameters, &opened), Status::Ok);
    EXPECT_TRUE(opened) << parameters;
    // T10s at open, EOI with the last byte, no end-of-string byte; then an
    // interface clear on the new descriptor.
    EXPECT_EQ(Calls(), "ibdev(0,28,0,13,1,0);ibsic(5);") << parameters;
  }
}

TEST_F(GpibPortOpenTest, SecondOpenFailsWithAlreadyOpenAndTouchesNothing) {
  OpenPort();
  bool opened = true;
  ASSERT_EQ(port->Open("GPIB0", &opened), Status::Ok);
  EXPECT_FALSE(opened);
  EXPECT_EQ(LastError(), 103);
  EXPECT_EQ(Calls(), "");
  EXPECT_THAT(LastErrorString(), testing::StartsWith("Port already open ibsta = 0x"));
}

TEST_F(GpibPortOpenTest, DriverErrorAtIbdevFailsWith102) {
  fake_gpib_set_ibdev(-1, kErr, kEneb, 0);
  bool opened = true;
  ASSERT_EQ(port->Open("GPIB0", &opened), Status::Ok);
  EXPECT_FALSE(opened);
  EXPECT_EQ(LastError(), 102);
  EXPECT_EQ(LastErrorString(), "Unable to open device ibsta = 0x8000");
  EXPECT_EQ(Calls(), "ibdev(0,28,0,13,1,0);");
  // Still closed: a retry is a fresh open, not "already open".
  fake_gpib_set_ibdev(7, kCmpl, 0, 0);
  ASSERT_EQ(port->Open("GPIB0", &opened), Status::Ok);
  EXPECT_TRUE(opened);
  EXPECT_EQ(LastError(), 0);
}

TEST_F(GpibPortOpenTest, NegativeDescriptorWithoutErrorStillFails) {
  fake_gpib_set_ibdev(-1, kCmpl, 0, 0);
  bool opened = true;
  ASSERT_EQ(port->Open("GPIB0", &opened), Status::Ok);
  EXPECT_FALSE(opened);
  EXPECT_EQ(LastError(), 102);
  EXPECT_EQ(Calls(), "ibdev(0,28,0,13,1,0);");
}

TEST_F(GpibPortOpenTest, CloseDrainsReleasesAndOnlyOnce) {
  OpenPort();
  bool closed = false;
  ASSERT_EQ(port->Close(&closed), Status::Ok);
  EXPECT_TRUE(closed);
  EXPECT_EQ(Calls(), "ibtmo(5,5);ibrd(5,1);ibonl(5,0);");
  EXPECT_EQ(LastError(), 0);

  fake_gpib_reset();
  ASSERT_EQ(port->Close(&closed), Status::Ok);
  EXPECT_FALSE(closed);
  EXPECT_EQ(LastError(), 0);
  EXPECT_EQ(Calls(), "");

  // Closed ports open again.
  bool opened = false;
  ASSERT_EQ(port->Open("GPIB0", &opened), Status::Ok);
  EXPECT_TRUE(opened);
}

TEST_F(GpibPortOpenTest, DestroyingAnOpenPortReleasesTheDescriptor) {
  OpenPort();
  port.reset();
  EXPECT_EQ(Calls(), "ibtmo(5,5);ibrd(5,1);ibonl(5,0);");
}

TEST_F(GpibPortOpenTest, MissingResultLocationsAreRefusedWithoutDriverCalls) {
  std::uint8_t buffer[4] = {};
  std::int32_t count = 0;
  EXPECT_EQ(port->Open("GPIB0", nullptr), Status::Pointer);
  EXPECT_EQ(port->Close(nullptr), Status::Pointer);
  EXPECT_EQ(port->BlockRead(nullptr, 4, &count), Status::Pointer);
  EXPECT_EQ(port->BlockRead(buffer, 4, nullptr), Status::Pointer);
  EXPECT_EQ(port->BlockWrite(nullptr, 4, &count), Status::Pointer);
  EXPECT_EQ(port->BlockWrite(buffer, 4, nullptr), Status::Pointer);
  EXPECT_EQ(port->GetLastError(nullptr), Status::Pointer);
  EXPECT_EQ(port->GetLastErrorString(nullptr), Status::Pointer);
  EXPECT_EQ(Calls(), "");
}

class GpibPortTransferTest : public FakeDriverTest {
 protected:
  void SetUp() override {
    FakeDriverTest::SetUp();
    ASSERT_EQ(port->Advise(&listener, &cookie), Status::Ok);
    OpenPort();
  }

  std::int32_t Read(std::int32_t max) {
    std::int32_t count = -99;
    EXPECT_EQ(port->BlockRead(buffer.data(), max, &count), Status::Ok);
    return count;
  }

  std::int32_t Write(std::int32_t size) {
    std::int32_t count = -99;
    EXPECT_EQ(port->BlockWrite(buffer.data(), size, &count), Status::Ok);
    return count;
  }

  RecordingListener listener;
  core::Cookie cookie = 0;
  std::array<std::uint8_t, 16> buffer{};
};

TEST_F(GpibPortTransferTest, CompleteReadSetsTheTransferTimeoutFirstAndRaisesOnReceiveWithZero) {
  const std::uint8_t body[] = {0x05, 0x11, 0x22, 0x33, 0x44};
  fake_gpib_push_read(kCmpl | kEnd, 0, 5, body, 5);
  EXPECT_EQ(Read(5), 5);
  EXPECT_EQ(Calls(), "ibtmo(5,12);ibrd(5,5);");
  EXPECT_THAT(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + 5),
              ElementsAre(0x05, 0x11, 0x22, 0x33, 0x44));
  EXPECT_THAT(listener.events, ElementsAre("receive(0)"));
  EXPECT_EQ(listener.lastObj, port.get());
  EXPECT_EQ(LastError(), 0);
}

TEST_F(GpibPortTransferTest, SilentInstrumentGivesZeroMarkerAndTimeoutWithoutEvent) {
  buffer[0] = 0xAA;
  fake_gpib_push_read(kTimedOut, kEabo, 0, nullptr, 0);
  EXPECT_EQ(Read(1), 0);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(LastError(), 104);
  EXPECT_EQ(LastErrorString(), "Port write timeout ibsta = 0xC000");
  EXPECT_THAT(listener.events, IsEmpty());
}

TEST_F(GpibPortTransferTest, TimedOutReadCountsOnlyWhenExactlyOneByteCame) {
  const std::uint8_t bytes[] = {0x07, 0x21};
  fake_gpib_push_read(kTimedOut, kEabo, 1, bytes, 1);
  EXPECT_EQ(Read(10), 1);
  EXPECT_EQ(buffer[0], 0x07);
  EXPECT_EQ(LastError(), 104);
  EXPECT_THAT(listener.events, ElementsAre("receive(0)"));

  listener.events.clear();
  fake_gpib_push_read(kTimedOut, kEabo, 2, bytes, 2);
  EXPECT_EQ(Read(10), 0);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(LastError(), 104);
  EXPECT_THAT(listener.events, IsEmpty());

  // Some drivers report a time-out without ERR; the rule is the same.
  fake_gpib_push_read(kTimo, 0, 1, bytes, 1);
  EXPECT_EQ(Read(10), 1);
  EXPECT_EQ(LastError(), 104);
  fake_gpib_push_read(kTimo, 0, 2, bytes, 2);
  EXPECT_EQ(Read(10), 0);
}

TEST_F(GpibPortTransferTest, OtherDriverErrorsCountNothingAndLeaveTheErrorCodeAlone) {
  const std::uint8_t bytes[] = {0x42};
  // Aborted with exactly one byte: the byte counts, no time-out is reported.
  fake_gpib_push_read(kErr, kEabo, 1, bytes, 1);
  EXPECT_EQ(Read(4), 1);
  EXPECT_EQ(LastError(), 0);
  // Any other error discards even a single byte.
  fake_gpib_push_read(kErr, kEnol, 1, bytes, 1);
  EXPECT_EQ(Read(4), 0);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(LastError(), 0);
  EXPECT_EQ(LastErrorString(), "Last command completed successfully ibsta = 0x8000");
}

TEST_F(GpibPortTransferTest, EachTransferStartsFromSuccess) {
  fake_gpib_push_read(kTimedOut, kEabo, 0, nullptr, 0);
  Read(1);
  ASSERT_EQ(LastError(), 104);
  EXPECT_EQ(Write(3), 3);
  EXPECT_EQ(LastError(), 0);
}

TEST_F(GpibPortTransferTest, CompleteWriteRaisesOnSendWithZero) {
  buffer = {0x01, 0x10, 0x11, 0x00};
  EXPECT_EQ(Write(4), 4);
  EXPECT_EQ(Calls(), "ibtmo(5,12);ibwrt(5,4);");
  long n = 0;
  const std::uint8_t* written = fake_gpib_written(&n);
  EXPECT_THAT(std::vector<std::uint8_t>(written, written + n), ElementsAre(0x01, 0x10, 0x11, 0x00));
  EXPECT_THAT(listener.events, ElementsAre("send(0)"));
  EXPECT_EQ(LastError(), 0);
}

TEST_F(GpibPortTransferTest, TimedOutWriteReportsTimeout) {
  fake_gpib_push_write(kTimedOut, kEabo, 3);
  EXPECT_EQ(Write(10), 0);
  EXPECT_EQ(LastError(), 104);
  EXPECT_THAT(listener.events, IsEmpty());
}

TEST_F(GpibPortTransferTest, RefusedWriteIsReportedNotMistakenForASentBlock) {
  // No listener on the bus: the driver moves nothing. Without a non-zero last
  // error the session would take the frame (or the transfer program) as sent.
  fake_gpib_push_write(kErr, kEnol, 0);
  EXPECT_EQ(Write(8), 0);
  EXPECT_EQ(LastError(), 107);
  EXPECT_EQ(LastErrorString(), "BlockWrite Failed to Transmit all data ibsta = 0x8000");
  EXPECT_THAT(listener.events, IsEmpty());
}

TEST_F(GpibPortTransferTest, MisreportedCountsStayInsideTheRequest) {
  const std::uint8_t bytes[] = {1, 2, 3};
  fake_gpib_push_read(kCmpl, 0, 40, bytes, 3);
  EXPECT_EQ(Read(3), 3);
  fake_gpib_push_read(kCmpl, 0, -5, bytes, 0);
  EXPECT_EQ(Read(3), 0);
  EXPECT_EQ(buffer[0], 0);
}

TEST_F(GpibPortTransferTest, EmptyRequestTouchesNeitherDriverNorBuffer) {
  buffer[0] = 0xAA;
  EXPECT_EQ(Read(0), 0);
  EXPECT_EQ(buffer[0], 0xAA);
  EXPECT_EQ(Write(0), 0);
  EXPECT_EQ(Calls(), "");
  EXPECT_EQ(LastError(), 0);
  EXPECT_THAT(listener.events, IsEmpty());
}

TEST_F(GpibPortTransferTest, ClosedPortDoesNotUseItsReleasedDescriptor) {
  bool closed = false;
  ASSERT_EQ(port->Close(&closed), Status::Ok);
  fake_gpib_reset();
  buffer[0] = 0xAA;
  EXPECT_EQ(Read(4), 0);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(LastError(), 0);
  EXPECT_EQ(Write(4), 0);
  EXPECT_EQ(LastError(), 107);
  EXPECT_EQ(Calls(), "");
}

TEST_F(GpibPortTransferTest, UnadvisedListenerHearsNothing) {
  ASSERT_EQ(port->Unadvise(cookie), Status::Ok);
  EXPECT_EQ(Write(2), 2);
  EXPECT_THAT(listener.events, IsEmpty());
  EXPECT_EQ(port->Unadvise(cookie), Status::Fail);
}

TEST(GpibMessagesTest, TableHoldsEveryNumberWithItsText) {
  EXPECT_EQ(MessageText(100), "holvern");
  EXPECT_EQ(MessageText(101), "Last command completed successfully");
  EXPECT_EQ(MessageText(102), "Unable to open device");
  EXPECT_EQ(MessageText(103), "Port already open");
  EXPECT_EQ(MessageText(104), "Port write timeout");
  EXPECT_EQ(MessageText(105), "IBERR in PortBlockRead");
  EXPECT_EQ(MessageText(106), "IBCNTL Returned Negative Value");
  EXPECT_EQ(MessageText(107), "BlockWrite Failed to Transmit all data");
  EXPECT_EQ(MessageText(108), "");
}

}  // namespace
}  // namespace pelvane::ports::gpib::test
