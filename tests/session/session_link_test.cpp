// The framed link over fake ports: frames on the wire, handshake and block
// answers, time-outs, port failures and the session's states.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <vector>

#include "core/message_loop.h"
#include "core/trace.h"
#include "session/session.h"
#include "session/session_messages.h"
#include "session_test_util.h"

namespace pelvane::session {
namespace {

using std::chrono::milliseconds;
using test::Event;
using test::EventRecorder;
using test::FakeLine;
using test::HandshakeInstrument;
using test::kGpibOpen;
using test::kSerialOpen;
using test::PumpFor;
using test::PumpUntil;
using Bytes = std::vector<std::uint8_t>;

class SessionLinkTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(session_->Advise(&events_, &cookie_), core::Status::Ok); }
  void TearDown() override {
    if (session_) session_->Unadvise(cookie_);
  }

  bool Open(const std::string& openString = kSerialOpen) {
    bool opened = false;
    EXPECT_EQ(session_->Open(openString, &opened), core::Status::Ok);
    return opened;
  }
  bool Close() {
    bool closed = false;
    EXPECT_EQ(session_->Close(&closed), core::Status::Ok);
    return closed;
  }
  bool Send(const Bytes& payloadAndChecksum) {
    bool sent = false;
    EXPECT_EQ(session_->Send(payloadAndChecksum.data(),
                             static_cast<std::int32_t>(payloadAndChecksum.size()) - 2, &sent),
              core::Status::Ok);
    return sent;
  }
  std::int16_t LastError() {
    std::int16_t error = -1;
    session_->GetLastError(&error);
    return error;
  }
  std::string ErrorString() {
    std::string text;
    session_->GetErrorString(&text);
    return text;
  }
  bool PumpUntilEvent(Event::Kind kind, std::int32_t value, int count = 1) {
    return PumpUntil(loop_, [&] { return events_.Count(kind, value) >= count; });
  }

  // The loop is declared first: it outlives the session and its notices. It is
  // installed by this program and used by the session's library: were the
  // core copied into each library (as a static library is into each Windows
  // DLL), the session would post to a loop of its own and no test here would
  // hear of anything.
  core::PlainMessageLoop loop_;
  core::ScopedMessageLoop scope_{loop_};
  std::shared_ptr<FakeLine> line_ = std::make_shared<FakeLine>();
  ports::PortRegistry registry_ = test::FakeRegistry(line_);
  std::unique_ptr<Session> session_ = std::make_unique<Session>(registry_, test::ShortTimeouts());
  EventRecorder events_;
  core::Cookie cookie_ = 0;
};

TEST_F(SessionLinkTest, FramesGoOutAsOneBlockWithTheLengthInFront) {
  ASSERT_TRUE(Open());
  EXPECT_EQ(line_->LastParameters(), "COM1:115200,E,8,1");

  ASSERT_TRUE(Send({0x42, 0x42, 0x00}));
  ASSERT_TRUE(PumpUntilEvent(Event::Send, 1));
  EXPECT_EQ(line_->Written(), (Bytes{0x01, 0x42, 0x42, 0x00}));

  // The worked example: a 7-byte command with its checksum 34 00.
  ASSERT_TRUE(Send({0x21, 0x01, 0x02, 0x00, 0x00, 0x10, 0x00, 0x34, 0x00}));
  ASSERT_TRUE(PumpUntilEvent(Event::Send, 7));
  const Bytes all = line_->Written();
  EXPECT_EQ(Bytes(all.begin() + 4, all.end()),
            (Bytes{0x07, 0x21, 0x01, 0x02, 0x00, 0x00, 0x10, 0x00, 0x34, 0x00}));
  EXPECT_EQ(LastError(), 0);
}

// The run's trace is started by the program and written by the session's
// library: one trace per process, whichever library holds the code.
TEST_F(SessionLinkTest, TheProgramsTraceHoldsTheSessionsBytes) {
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("pelvane-trace-" + std::to_string(std::random_device{}()) + ".txt"))
                               .string();
  std::string error;
  ASSERT_TRUE(core::trace::Start(path, &error)) << error;
  ASSERT_TRUE(Open());
  ASSERT_TRUE(Send({0x42, 0x42, 0x00}));
  ASSERT_TRUE(PumpUntilEvent(Event::Send, 1));
  core::trace::Stop();
  std::ifstream in(path);
  const std::string trace((std::istreambuf_iterator<char>(in)), {});
  in.close();
  std::filesystem::remove(path);
  EXPECT_NE(trace.find("> 01 42 42 00\n"), std::string::npos) << trace;
  EXPECT_NE(trace.find("frame: sent (1-byte message)"), std::string::npos) << trace;
}

TEST_F(SessionLinkTest, AnEmptyPayloadIsAcceptedButNeverWritten) {
  ASSERT_TRUE(Open());
  EXPECT_TRUE(Send({0xAA, 0xBB}));
  PumpFor(loop_, milliseconds(50));
  EXPECT_TRUE(line_->Written().empty());
  EXPECT_TRUE(events_.events.size() == 1);  // OnConnect only
}

TEST_F(SessionLinkTest, APayloadTheLengthByteCannotCarryIsRefusedWithoutTouchingTheLine) {
  ASSERT_TRUE(Open());
  std::vector<std::uint8_t> big(1100, 0x11);
  bool sent = true;
  EXPECT_EQ(session_->Send(big.data(), 256, &sent), core::Status::InvalidArg);
  EXPECT_FALSE(sent);
  EXPECT_EQ(session_->Send(big.data(), 1050, &sent), core::Status::InvalidArg);
  EXPECT_EQ(session_->Send(big.data(), -1, &sent), core::Status::InvalidArg);
  PumpFor(loop_, milliseconds(30));
  EXPECT_TRUE(line_->Written().empty());
}

TEST_F(SessionLinkTest, BlockModeReadsTheBodyWithoutAcknowledging) {
  line_->SetPeer([](FakeLine& line, std::span<const std::uint8_t>) {
    line.Feed({0x03, 0x05, 0x11, 0x22, 0x38, 0x00});
  });
  ASSERT_TRUE(Open(kGpibOpen));
  EXPECT_EQ(line_->LastParameters(), "GPIB0");
  ASSERT_TRUE(Send({0x06, 0x86, 0x00}));
  ASSERT_TRUE(PumpUntilEvent(Event::Receive, 5));
  EXPECT_EQ(line_->Written(), (Bytes{0x01, 0x06, 0x86, 0x00}));
  std::array<std::uint8_t, 5> body{};
  std::int32_t size = -1;
  session_->Receive(body.data(), 5, &size);
  EXPECT_EQ(size, 3);
  EXPECT_EQ(body, (std::array<std::uint8_t, 5>{0x05, 0x11, 0x22, 0x38, 0x00}));
}

TEST_F(SessionLinkTest, OnlyTheExactGpibClassIdSelectsBlockMode) {
  // Lower-case letters still bind the GPIB port but leave handshake mode.
  std::string lower = kGpibOpen;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  line_->SetPeer([](FakeLine& line, std::span<const std::uint8_t> written) {
    if (written.size() > 1) line.Feed({0x01});
  });
  ASSERT_TRUE(Open(lower));
  ASSERT_TRUE(Send({0x06, 0x86, 0x00}));
  ASSERT_TRUE(line_->WaitForWritten(5));
  EXPECT_EQ(line_->Written().back(), 0xFF);  // handshake start
}

TEST_F(SessionLinkTest, AnAcknowledgementThePortWillNotTakeIsAWriteTimeout) {
  line_->SetPeer([](FakeLine& line, std::span<const std::uint8_t> written) {
    if (written.size() > 1) {
      line.failWrites = -1;  // from now on the line refuses every byte
      line.Feed({0x01});
    }
  });
  ASSERT_TRUE(Open());
  ASSERT_TRUE(Send({0x06, 0x86, 0x00}));
  ASSERT_TRUE(PumpUntilEvent(Event::Error, kMsgWriteTimeout));
  EXPECT_EQ(LastError(), 13);
  EXPECT_FALSE(events_.Has(Event::Receive, 3));
}

TEST_F(SessionLinkTest, ARefusedFrameIsWrittenAgainWithANoticeEachTime) {
  line_->failWrites = 3;
  ASSERT_TRUE(Open());
  ASSERT_TRUE(Send({0x42, 0x42, 0x00}));
  ASSERT_TRUE(PumpUntilEvent(Event::Send, 1));
  EXPECT_EQ(events_.Count(Event::Error, kMsgPortFailureSR), 3);
  EXPECT_EQ(line_->Written(), (Bytes{0x01, 0x42, 0x42, 0x00}));
  // The failures come before the frame finally goes.
  EXPECT_EQ(events_.events.back(), (Event{Event::Send, 1}));
}

TEST_F(SessionLinkTest, ANewSendReplacesAFrameStillPending) {
  line_->failWrites = -1;
  ASSERT_TRUE(Open());
  ASSERT_TRUE(Send({0x11, 0x11, 0x00}));
  ASSERT_TRUE(PumpUntilEvent(Event::Error, kMsgPortFailureSR));
  ASSERT_TRUE(Send({0x22, 0x22, 0x23, 0x00}));
  line_->failWrites = 0;
  ASSERT_TRUE(PumpUntilEvent(Event::Send, 2));
  EXPECT_EQ(line_->Written(), (Bytes{0x02, 0x22, 0x22, 0x23, 0x00}));
  EXPECT_FALSE(events_.Has(Event::Send, 1));
}

TEST_F(SessionLinkTest, ThePortFailingAtOpenIsReportedAfterOpenReturns) {
  line_->failOpen = true;
  EXPECT_FALSE(Open());
  EXPECT_EQ(LastError(), 9);
  EXPECT_TRUE(events_.events.empty());  // not raised inside Open
  // The port's own text names the cause.
  EXPECT_EQ(ErrorString(), "fake: failure 1");
  ASSERT_TRUE(PumpUntilEvent(Event::Error, kMsgPortFailure));
  PT_STATE state = PT_INVALID;
  session_->State(&state);
  EXPECT_EQ(state, PT_CLOSED);
}

TEST_F(SessionLinkTest, APortThatSaysNoLeavesTheSessionClosedWithoutAnError) {
  line_->openReturnsFalse = true;
  EXPECT_FALSE(Open());
  EXPECT_EQ(LastError(), 0);
  PumpFor(loop_, milliseconds(20));
  EXPECT_TRUE(events_.events.empty());
}

TEST_F(SessionLinkTest, AnUnknownClassIdBindsNothing) {
  EXPECT_FALSE(Open("clsid:00000000-0000-0000-0000-000000000000 COM1:9600,N,8,1"));
  EXPECT_EQ(LastError(), 1);
  EXPECT_EQ(ErrorString(), "Unable to Open Session");
  EXPECT_FALSE(Open("COM1:9600,N,8,1"));
  EXPECT_EQ(line_->PortsCreated(), 0);
}

TEST_F(SessionLinkTest, OpenAndCloseTwiceThenOpenAgain) {
  ASSERT_TRUE(Open());
  ASSERT_EQ(events_.events, (std::vector<Event>{{Event::Connect, 0}}));  // raised inside Open
  EXPECT_FALSE(Open());
  EXPECT_EQ(LastError(), 2);
  EXPECT_EQ(ErrorString(), "Session already Open");

  EXPECT_TRUE(Close());
  EXPECT_EQ(LastError(), 0);
  EXPECT_TRUE(Close());
  EXPECT_EQ(LastError(), 7);

  // A fresh port and a fresh worker.
  HandshakeInstrument instrument({0x05, 0x11, 0x22, 0x38, 0x00});
  line_->SetPeer(instrument.Peer());
  ASSERT_TRUE(Open());
  EXPECT_EQ(line_->PortsCreated(), 2);
  ASSERT_TRUE(Send({0x06, 0x86, 0x00}));
  ASSERT_TRUE(PumpUntilEvent(Event::Receive, 5));
}

TEST_F(SessionLinkTest, NothingOfAClosedLinkCarriesIntoTheNextOpen) {
  line_->failWrites = -1;
  ASSERT_TRUE(Open());
  ASSERT_TRUE(Send({0x11, 0x11, 0x00}));
  ASSERT_TRUE(PumpUntilEvent(Event::Error, kMsgPortFailureSR));
  line_->failClose = true;
  Close();
  ASSERT_TRUE(PumpUntilEvent(Event::Error, kMsgPortFailure));
  line_->failClose = false;
  line_->failWrites = 0;
  ASSERT_TRUE(Open());
  PumpFor(loop_, milliseconds(50));
  EXPECT_TRUE(line_->Written().empty());
  EXPECT_FALSE(events_.Has(Event::Send, 1));
}

TEST_F(SessionLinkTest, SendAndReceiveNeedAnOpenSession) {
  const Bytes frame{0x42, 0x42, 0x00};
  EXPECT_FALSE(Send(frame));
  EXPECT_EQ(LastError(), 8);
  EXPECT_EQ(ErrorString(), "Session not open");
  std::array<std::uint8_t, 4> buffer{};
  std::int32_t size = -1;
  EXPECT_EQ(session_->Receive(buffer.data(), 4, &size), core::Status::Ok);
  EXPECT_EQ(LastError(), 8);
  EXPECT_EQ(size, 0);

  PT_STATE state = PT_INVALID;
  EXPECT_EQ(session_->State(&state), core::Status::Ok);
  EXPECT_EQ(state, PT_CLOSED);
  EXPECT_EQ(LastError(), 0);  // State clears the error code
}

TEST_F(SessionLinkTest, MissingResultLocationsGiveThePointerStatus) {
  EXPECT_EQ(session_->Open(kSerialOpen, nullptr), core::Status::Pointer);
  EXPECT_EQ(session_->Close(nullptr), core::Status::Pointer);
  EXPECT_EQ(session_->State(nullptr), core::Status::Pointer);
  EXPECT_EQ(session_->GetLastError(nullptr), core::Status::Pointer);
  EXPECT_EQ(session_->GetErrorString(nullptr), core::Status::Pointer);
  bool flag = false;
  EXPECT_EQ(session_->Send(nullptr, 1, &flag), core::Status::Pointer);
  std::int32_t size = 0;
  EXPECT_EQ(session_->Receive(nullptr, 4, &size), core::Status::Pointer);
  EXPECT_EQ(session_->ExplicitInitialize(), core::Status::Ok);
  EXPECT_EQ(line_->PortsCreated(), 0);
}

TEST_F(SessionLinkTest, ReceiveNeverCopiesMoreThanTheBufferHolds) {
  ASSERT_TRUE(Open());
  std::vector<std::uint8_t> big(2048, 0xEE);
  std::int32_t size = -1;
  session_->Receive(big.data(), 2048, &size);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(big[1023], 0x00);
  EXPECT_EQ(big[1024], 0xEE);
}

TEST_F(SessionLinkTest, AnIdleLinkLeavesThePortAlone) {
  ASSERT_TRUE(Open());
  // Open, nothing sent, nothing awaited: the worker sleeps until Send or Close.
  PumpFor(loop_, milliseconds(100));
  EXPECT_EQ(line_->ReadCalls(), 0);
  EXPECT_EQ(line_->WaitCalls(), 0);
}

TEST_F(SessionLinkTest, AwaitingAnAnswerSleepsInThePortsWait) {
  ASSERT_TRUE(Open());
  ASSERT_TRUE(Send({0x06, 0x86, 0x00}));
  ASSERT_TRUE(PumpUntilEvent(Event::Error, kMsgSessionTimeout));
  // 150 ms of silence in 10 ms slices: a few dozen reads, not a spin's thousands.
  EXPECT_LT(line_->ReadCalls(), 100);
  EXPECT_GT(line_->WaitCalls(), 0);
}

TEST_F(SessionLinkTest, ADeviceThatIsReadyWithoutDataDoesNotTurnTheWaitIntoASpin) {
  line_->alwaysReadable = true;
  ASSERT_TRUE(Open());
  ASSERT_TRUE(Send({0x06, 0x86, 0x00}));
  ASSERT_TRUE(PumpUntilEvent(Event::Error, kMsgSessionTimeout));
  EXPECT_LT(line_->ReadCalls(), 100);
}

// A frame once begun is acknowledged to its end, also by a Close; an
// instrument that stops in the middle holds Close for the per-byte time-out.
TEST_F(SessionLinkTest, CloseWaitsForAStalledAnswerOnlyThePerByteTime) {
  HandshakeInstrument instrument({0x05, 0x11, 0x22, 0x38, 0x00}, /*silentAfter=*/1);
  line_->SetPeer(instrument.Peer());
  ASSERT_TRUE(Open());
  ASSERT_TRUE(Send({0x06, 0x86, 0x00}));
  ASSERT_TRUE(line_->WaitForWritten(4 + 2));  // frame, 0xFF, first acknowledgement
  EXPECT_TRUE(Close());
  ASSERT_TRUE(PumpUntilEvent(Event::Error, kMsgReadTimeout));
  EXPECT_FALSE(events_.Has(Event::Receive, 5));
}

// The protocol's own times rather than the shortened ones of the other
// tests: the session's clock is moved on instead of waiting them out.
TEST_F(SessionLinkTest, TheDefaultTimesAreTheProtocols) {
  test::MovableTime time;
  session_->Unadvise(cookie_);
  session_ = std::make_unique<Session>(registry_, SessionTimeouts{}, time);
  ASSERT_EQ(session_->Advise(&events_, &cookie_), core::Status::Ok);
  // The worker takes the time it measures from just after a write; the clock
  // moves only once it has read the time again.
  const auto settle = [&] {
    const int seen = time.Reads();
    while (time.Reads() < seen + 3) PumpFor(loop_, milliseconds(5));
  };
  ASSERT_TRUE(Open());
  ASSERT_TRUE(Send({0x06, 0x86, 0x00}));
  ASSERT_TRUE(line_->WaitForWritten(4));
  settle();
  // Two minutes for an answer to begin,
  time.Advance(milliseconds(119000));
  PumpFor(loop_, milliseconds(100));
  EXPECT_FALSE(events_.Has(Event::Error, kMsgSessionTimeout));
  time.Advance(milliseconds(1000));
  EXPECT_TRUE(PumpUntilEvent(Event::Error, kMsgSessionTimeout));
  // then four seconds for each of its bytes.
  line_->Feed({0x03});
  ASSERT_TRUE(line_->WaitForWritten(5));  // the length byte's acknowledgement
  settle();
  time.Advance(milliseconds(3500));
  PumpFor(loop_, milliseconds(100));
  EXPECT_FALSE(events_.Has(Event::Error, kMsgReadTimeout));
  time.Advance(milliseconds(1000));
  EXPECT_TRUE(PumpUntilEvent(Event::Error, kMsgReadTimeout));
  EXPECT_TRUE(Close());
  session_->Unadvise(cookie_);
  session_.reset();  // before the time it reads
}

// The checksum is checked where the frame arrives: a damaged answer is
// reported at once, and what the instrument still sends of it (its length
// byte came damaged to a smaller one) is acknowledged, so that it takes the
// next command.
TEST_F(SessionLinkTest, ADamagedAnswerIsReportedAtOnceAndItsRestAcknowledged) {
  const Bytes body = test::Framed({0xA1, 0x01, 0x02, 0x03, 0x04});
  HandshakeInstrument instrument(body);
  instrument.DamageLengthTo(2);
  line_->SetPeer(instrument.Peer());
  ASSERT_TRUE(Open());
  ASSERT_TRUE(Send({0x06, 0x86, 0x00}));
  ASSERT_TRUE(PumpUntilEvent(Event::Error, kMsgAnswerDamaged));
  EXPECT_EQ(LastError(), 17);
  EXPECT_FALSE(events_.Has(Event::Receive, 4));
  Bytes expected;
  for (std::size_t i = 0; i < body.size(); ++i)
    expected.push_back(static_cast<std::uint8_t>(~(body[0] + i + 1)));
  EXPECT_EQ(instrument.Acks(), expected);

  // The same exchange undamaged: the instrument took the command.
  ASSERT_TRUE(Send({0x06, 0x86, 0x00}));
  ASSERT_TRUE(PumpUntilEvent(Event::Receive, 7));
  EXPECT_EQ(events_.Count(Event::Error, kMsgAnswerDamaged), 1);

  // A body that arrived whole but changed fails its checksum all the same.
  Bytes changed = body;
  changed[2] ^= 0x10;
  HandshakeInstrument garbled(changed);
  line_->SetPeer(garbled.Peer());
  ASSERT_TRUE(Send({0x06, 0x86, 0x00}));
  ASSERT_TRUE(PumpUntilEvent(Event::Error, kMsgAnswerDamaged, 2));
  EXPECT_EQ(garbled.Acks().size(), body.size());

  // So does one whose sum is wrong in its high byte alone.
  Bytes highByte = body;
  highByte.back() ^= 0x01;
  HandshakeInstrument wrongHigh(highByte);
  line_->SetPeer(wrongHigh.Peer());
  ASSERT_TRUE(Send({0x06, 0x86, 0x00}));
  ASSERT_TRUE(PumpUntilEvent(Event::Error, kMsgAnswerDamaged, 3));
  EXPECT_EQ(events_.Count(Event::Receive, 7), 1);
}

TEST_F(SessionLinkTest, DestroyingAnOpenSessionStopsItsWorkerAndDropsItsNotices) {
  HandshakeInstrument instrument({0x05, 0x11, 0x22, 0x38, 0x00});
  line_->SetPeer(instrument.Peer());
  ASSERT_TRUE(Open());
  ASSERT_TRUE(Send({0x06, 0x86, 0x00}));
  ASSERT_TRUE(line_->WaitForWritten(10));  // the answer is in, its notice queued
  session_->Unadvise(cookie_);
  const std::size_t before = events_.events.size();
  ASSERT_TRUE(session_->Advise(&events_, &cookie_) == core::Status::Ok);
  session_.reset();
  PumpFor(loop_, milliseconds(30));
  EXPECT_EQ(events_.events.size(), before);
}

TEST(SessionMessagesTest, EveryNumberHasItsText) {
  for (std::int16_t n = kFirstSessionMessage; n <= kLastSessionMessage; ++n)
    EXPECT_FALSE(SessionMessageText(n).empty()) << n;
  EXPECT_TRUE(SessionMessageText(100).empty());
  EXPECT_TRUE(SessionMessageText(119).empty());
  EXPECT_EQ(SessionMessageText(101), "The last command completed successfully");
  EXPECT_EQ(SessionMessageText(112), "Memory allocation failure");
  EXPECT_EQ(SessionMessageText(117), "Port Failure SR");
  EXPECT_EQ(SessionMessageText(118), "Answer damaged on the line (checksum error)");
}

}  // namespace
}  // namespace pelvane::session
