// The session over the real serial port and a pseudo-terminal, with a
// scripted instrument on the other end.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>
#include <vector>

#include "core/message_loop.h"
#include "ports/registry/port_registry.h"
#include "pty_instrument.h"
#include "session/session.h"
#include "session/session_messages.h"
#include "session_test_util.h"

namespace pelvane::session {
namespace {

using std::chrono::milliseconds;
using test::Event;
using test::EventRecorder;
using test::PtyInstrument;
using test::PumpFor;
using test::PumpUntil;
using Bytes = std::vector<std::uint8_t>;

SessionTimeouts PtyTimeouts() {
  SessionTimeouts t = test::ShortTimeouts();
  // Generous against a loaded machine or a sanitizer build; only the tests
  // that wait for a time-out pay for it.
  t.perByte = milliseconds(1000);
  t.response = milliseconds(300);
  t.uploadVerdict = milliseconds(3000);
  return t;
}

class SessionPtyTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(session_.Advise(&events_, &cookie_), core::Status::Ok);
    bool opened = false;
    ASSERT_EQ(session_.Open(instrument_.OpenString(), &opened), core::Status::Ok);
    ASSERT_TRUE(opened);
  }
  void TearDown() override {
    bool closed = false;
    session_.Close(&closed);
    session_.Unadvise(cookie_);
  }
  void Send(const Bytes& payloadAndChecksum) {
    bool sent = false;
    session_.Send(payloadAndChecksum.data(),
                  static_cast<std::int32_t>(payloadAndChecksum.size()) - 2, &sent);
    ASSERT_TRUE(sent);
  }
  bool PumpUntilEvent(Event::Kind kind, std::int32_t value, int count = 1) {
    return PumpUntil(loop_, [&] { return events_.Count(kind, value) >= count; });
  }
  // As PumpUntilEvent, moving the session's time on meanwhile: for an event
  // that only a time-out brings.
  bool PumpUntilTimedOut(Event::Kind kind, std::int32_t value, int count = 1) {
    return PumpUntil(loop_, [&] {
      time_.Advance(milliseconds(50));
      return events_.Count(kind, value) >= count;
    });
  }
  std::int16_t LastError() {
    std::int16_t error = -1;
    session_.GetLastError(&error);
    return error;
  }

  core::PlainMessageLoop loop_;
  core::ScopedMessageLoop scope_{loop_};
  PtyInstrument instrument_;
  test::MovableTime time_;
  Session session_{ports::DefaultPortRegistry(), PtyTimeouts(), time_};
  EventRecorder events_;
  core::Cookie cookie_ = 0;
};

TEST_F(SessionPtyTest, TheWorkedFramesArriveByteForByte) {
  Send({0x42, 0x42, 0x00});
  EXPECT_EQ(instrument_.Read(4), (Bytes{0x01, 0x42, 0x42, 0x00}));
  ASSERT_TRUE(PumpUntilEvent(Event::Send, 1));

  instrument_.Answer({0xC2, 0xC2, 0x00});  // let the first command finish
  ASSERT_TRUE(PumpUntilEvent(Event::Receive, 3));

  Send({0x21, 0x01, 0x02, 0x00, 0x00, 0x10, 0x00, 0x34, 0x00});
  EXPECT_EQ(instrument_.Read(10),
            (Bytes{0x07, 0x21, 0x01, 0x02, 0x00, 0x00, 0x10, 0x00, 0x34, 0x00}));
  ASSERT_TRUE(PumpUntilEvent(Event::Send, 7));
}

TEST_F(SessionPtyTest, HandshakeAcknowledgementsCountFromTheFirstBodyByte) {
  Bytes acks;
  std::thread peer([&] {
    instrument_.Read(4);
    acks = instrument_.Answer({0x05, 0x11, 0x22, 0x38, 0x00});
  });
  Send({0x06, 0x86, 0x00});
  ASSERT_TRUE(PumpUntilEvent(Event::Receive, 5));
  peer.join();
  EXPECT_EQ(acks, (Bytes{0xFF, 0xF9, 0xF8, 0xF7, 0xF6, 0xF5}));
  std::array<std::uint8_t, 5> body{};
  std::int32_t size = -1;
  session_.Receive(body.data(), 5, &size);
  EXPECT_EQ(size, 3);
  EXPECT_EQ(body, (std::array<std::uint8_t, 5>{0x05, 0x11, 0x22, 0x38, 0x00}));
}

TEST_F(SessionPtyTest, AnAnswerOf254BytesComesInWhole) {
  Bytes payload(254);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(0xA0 + i);
  const Bytes body = test::Framed(payload);
  Bytes acks;
  std::thread peer([&] {
    instrument_.Read(4);
    acks = instrument_.Answer(body);
  });
  Send({0x06, 0x86, 0x00});
  ASSERT_TRUE(PumpUntilEvent(Event::Receive, 256));
  peer.join();
  ASSERT_EQ(acks.size(), 257u);
  EXPECT_EQ(acks.back(), static_cast<std::uint8_t>(~(body[0] + 256)));
  std::vector<std::uint8_t> got(256);
  std::int32_t size = -1;
  session_.Receive(got.data(), 256, &size);
  EXPECT_EQ(size, 254);
  EXPECT_EQ(got, body);
}

TEST_F(SessionPtyTest, SilenceIsReportedOnceAndALateAnswerStillCounts) {
  Send({0x06, 0x86, 0x00});
  EXPECT_EQ(instrument_.Read(4).size(), 4u);
  ASSERT_TRUE(PumpUntilTimedOut(Event::Error, kMsgSessionTimeout));
  EXPECT_EQ(LastError(), 10);
  time_.Advance(milliseconds(5000));
  PumpFor(loop_, milliseconds(100));
  EXPECT_EQ(events_.Count(Event::Error, kMsgSessionTimeout), 1);

  std::thread peer([&] { instrument_.Answer({0x86, 0x86, 0x00}); });
  ASSERT_TRUE(PumpUntilEvent(Event::Receive, 3));
  peer.join();

  Send({0x06, 0x86, 0x00});
  EXPECT_EQ(instrument_.Read(4).size(), 4u);
  ASSERT_TRUE(PumpUntilTimedOut(Event::Error, kMsgSessionTimeout, 2));
}

TEST_F(SessionPtyTest, AMissingByteEndsTheAnswerAndTheNextCommandStartsAfresh) {
  std::thread peer([&] {
    instrument_.Read(4);
    instrument_.Answer({0x05, 0x11, 0x22, 0x38, 0x00}, 2);  // then falls silent
  });
  Send({0x06, 0x86, 0x00});
  ASSERT_TRUE(PumpUntilTimedOut(Event::Error, kMsgReadTimeout));
  peer.join();
  EXPECT_FALSE(events_.Has(Event::Receive, 5));
  EXPECT_EQ(LastError(), 12);
  // Nothing is awaited any more: no response time-out follows.
  time_.Advance(milliseconds(5000));
  PumpFor(loop_, milliseconds(100));
  EXPECT_FALSE(events_.Has(Event::Error, kMsgSessionTimeout));

  Bytes acks;
  std::thread again([&] {
    instrument_.Read(4);
    acks = instrument_.Answer({0x05, 0x11, 0x22, 0x38, 0x00});
  });
  Send({0x06, 0x86, 0x00});
  ASSERT_TRUE(PumpUntilEvent(Event::Receive, 5));
  again.join();
  EXPECT_EQ(acks, (Bytes{0xFF, 0xF9, 0xF8, 0xF7, 0xF6, 0xF5}));
}

// A cancel that comes while an answer is coming in does not leave the
// instrument in the middle of it: Close returns once every byte of the frame
// has been acknowledged.
TEST_F(SessionPtyTest, CloseDuringAnAnswerAcknowledgesEveryByteOfTheFrame) {
  const Bytes body = test::Framed({0xA4, 0x01, 0x02, 0x03, 0x04, 0x05});
  Bytes acks;
  std::atomic<bool> started{false};
  std::thread peer([&] {
    instrument_.Read(4);
    instrument_.Write({static_cast<std::uint8_t>(body.size() - 2)});
    acks = instrument_.Read(1);
    started = true;
    // An instrument that answers each acknowledgement after a while, as
    // through a slow adapter: the cancel lands in the middle of the frame.
    for (const std::uint8_t byte : body) {
      std::this_thread::sleep_for(milliseconds(15));
      instrument_.Write({byte});
      const Bytes ack = instrument_.Read(1);
      acks.insert(acks.end(), ack.begin(), ack.end());
    }
  });
  Send({0x24, 0x24, 0x00});
  while (!started) std::this_thread::yield();
  bool closed = false;
  session_.Close(&closed);
  peer.join();
  ASSERT_EQ(acks.size(), body.size() + 1);
  EXPECT_EQ(acks.back(), static_cast<std::uint8_t>(~(body[0] + body.size())));

  // Each acknowledgement let the next byte come about 15 ms later.
  const core::LinkActivity activity = session_.Activity();
  EXPECT_EQ(activity.turnarounds, body.size());
  EXPECT_GE(activity.turnaround, milliseconds(15));
}

TEST_F(SessionPtyTest, AnUploadLargerThanTheTransmitQueueArrivesWholeAndIsJudged) {
  // At 4,000,000 baud the block's wire time, which the verdict wait lets
  // pass first, is a tenth of a second.
  bool closed = false;
  session_.Close(&closed);
  bool opened = false;
  ASSERT_EQ(session_.Open(instrument_.OpenString(4000000), &opened), core::Status::Ok);
  ASSERT_TRUE(opened);
  Bytes block(40000);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 13 + 5);
  Bytes arrived;
  std::thread peer([&] {
    arrived = instrument_.Read(block.size());
    instrument_.Write({'T'});
  });
  auto& transfer = dynamic_cast<IQX_Transfer&>(static_cast<IQX_Session&>(session_));
  ASSERT_EQ(transfer.Upload(block.data(), static_cast<std::int32_t>(block.size())),
            core::Status::Ok);
  EXPECT_EQ(LastError(), 0);
  PTS_FAILCODE code = PT_TNORESPONSE;
  ASSERT_EQ(transfer.IsUploadOK(&code), core::Status::Ok);
  peer.join();
  EXPECT_EQ(code, PT_OK);
  EXPECT_EQ(arrived, block);

  instrument_.Write({'C'});
  ASSERT_EQ(transfer.IsUploadOK(&code), core::Status::Ok);
  EXPECT_EQ(code, PT_TCHECKSUMERR);
  EXPECT_EQ(LastError(), 6);
}

// A pseudo-terminal takes a block at once, as some USB adapters do: the
// verdict wait must still start only when the block's wire time is over.
TEST_F(SessionPtyTest, TheVerdictWaitStartsWhenTheBlockHasLeftTheHost) {
  bool closed = false;
  session_.Close(&closed);
  SessionTimeouts timeouts = PtyTimeouts();
  timeouts.uploadVerdict = milliseconds(1000);
  Session session{ports::DefaultPortRegistry(), timeouts};
  bool opened = false;
  ASSERT_EQ(session.Open(instrument_.OpenString(9600), &opened), core::Status::Ok);
  ASSERT_TRUE(opened);
  // 2,400 bytes at 9600 baud, 10 bits each: 2.5 s on the wire. The boot
  // monitor answers after 2 s, later than the verdict wait allows when
  // counted from the write, and well inside it when counted from the end of
  // the wire time (a loaded machine has 1.5 s to spare).
  const Bytes block(2400, 0x5A);
  std::thread peer([&] {
    instrument_.Read(block.size());
    std::this_thread::sleep_for(milliseconds(2000));
    instrument_.Write({'T'});
  });
  auto& transfer = dynamic_cast<IQX_Transfer&>(static_cast<IQX_Session&>(session));
  ASSERT_EQ(transfer.Upload(block.data(), static_cast<std::int32_t>(block.size())),
            core::Status::Ok);
  PTS_FAILCODE code = PT_TNORESPONSE;
  ASSERT_EQ(transfer.IsUploadOK(&code), core::Status::Ok);
  peer.join();
  EXPECT_EQ(code, PT_OK);
  session.Close(&closed);
}

TEST_F(SessionPtyTest, CloseAndOpenAgainOnTheSameDevice) {
  bool flag = false;
  session_.Open(instrument_.OpenString(), &flag);
  EXPECT_FALSE(flag);
  EXPECT_EQ(LastError(), 2);
  session_.Close(&flag);
  EXPECT_TRUE(flag);
  session_.Close(&flag);
  EXPECT_TRUE(flag);
  EXPECT_EQ(LastError(), 7);
  session_.Open(instrument_.OpenString(), &flag);
  ASSERT_TRUE(flag);
  EXPECT_EQ(events_.Count(Event::Connect, 0), 2);

  std::thread peer([&] {
    instrument_.Read(4);
    instrument_.Answer({0xC2, 0xC2, 0x00});
  });
  Send({0x42, 0x42, 0x00});
  ASSERT_TRUE(PumpUntilEvent(Event::Receive, 3));
  peer.join();
}

TEST(SessionPtyOpenTest, AMissingDeviceIsAPortFailureReportedAfterOpen) {
  core::PlainMessageLoop loop;
  core::ScopedMessageLoop scope(loop);
  Session session(ports::DefaultPortRegistry(), PtyTimeouts());
  EventRecorder events;
  core::Cookie cookie = 0;
  session.Advise(&events, &cookie);
  bool opened = true;
  session.Open("clsid:" + std::string(core::clsid::kSerialPort) +
                   " /dev/pelvane-no-such-device:115200,N,8,1",
               &opened);
  EXPECT_FALSE(opened);
  std::int16_t error = 0;
  session.GetLastError(&error);
  EXPECT_EQ(error, 9);
  EXPECT_TRUE(events.events.empty());
  std::string text;
  session.GetErrorString(&text);
  EXPECT_NE(text.find("Unable to open port"), std::string::npos) << text;
  ASSERT_TRUE(PumpUntil(loop, [&] { return events.Has(Event::Error, kMsgPortFailure); }));
  session.Unadvise(cookie);
}

}  // namespace
}  // namespace pelvane::session
