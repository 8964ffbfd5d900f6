#include "sim/line_pacer.h"

#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "sim/faults.h"
#include "sim/link.h"

namespace pelvane::sim {
namespace {

using Clock = LinePacer::Clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr auto kByte = microseconds(100);
const Clock::time_point t0 = Clock::time_point() + std::chrono::hours(1);

TEST(LinePacer, AnIsolatedHostBytePaysItsOwnWireTime) {
  // An acknowledgement on an idle line is there one byte time after it was seen.
  LinePacer pacer(kByte);
  EXPECT_EQ(pacer.Arrival(t0), t0 + kByte);
  EXPECT_EQ(pacer.Arrival(t0 + milliseconds(5)), t0 + milliseconds(5) + kByte);
}

TEST(LinePacer, BytesSeenTogetherFollowEachOtherAndLateWakeUpsDoNotAddUp) {
  LinePacer pacer(kByte);
  std::vector<Clock::time_point> arrivals;
  for (int i = 0; i < 250; ++i) arrivals.push_back(pacer.Arrival(t0));
  for (int i = 0; i < 250; ++i) EXPECT_EQ(arrivals[i], t0 + kByte * (i + 1));
  // The simulator takes them late (it was busy); the line time stays as it was,
  // and a byte seen during the block waits for the line.
  pacer.Consumed(arrivals.back() + milliseconds(3));
  EXPECT_EQ(pacer.Arrival(t0 + kByte), t0 + kByte * 251);
}

TEST(LinePacer, AnAnswerByteFollowsItsCueNotTheSimulatorsReaction) {
  LinePacer pacer(kByte);
  const auto ack = pacer.Arrival(t0);
  pacer.Consumed(ack);
  // The simulator woke 40 us late: the byte is still due one byte time after the cue.
  EXPECT_EQ(pacer.Delivery(ack + microseconds(40), 1), ack + kByte);
  // Two writes on one cue follow each other on the line.
  EXPECT_EQ(pacer.Delivery(ack + microseconds(50), 2), ack + kByte * 3);
}

TEST(LinePacer, AWriteWithoutANewCueStartsWhenItIsMade) {
  LinePacer pacer(kByte);
  // Nothing consumed at all: the wire time is paid from now, never skipped.
  EXPECT_EQ(pacer.Delivery(t0, 3), t0 + kByte * 3);
  pacer.Consumed(pacer.Arrival(t0 + milliseconds(1)));
  EXPECT_EQ(pacer.Delivery(t0 + milliseconds(2), 1), t0 + milliseconds(1) + kByte * 2);
  // A later write with no byte taken in between: from its own time.
  EXPECT_EQ(pacer.Delivery(t0 + milliseconds(10), 1), t0 + milliseconds(10) + kByte);
}

// A host end in memory: a test queues what the host wrote.
class QueueTransport : public Transport {
 public:
  ReadResult Read(std::span<std::uint8_t> buffer, milliseconds) override {
    if (input.empty()) return {ReadState::Timeout, 0};
    std::size_t n = 0;
    while (n < buffer.size() && !input.empty()) {
      buffer[n++] = input.front();
      input.pop_front();
    }
    return {ReadState::Data, n};
  }
  bool Write(std::span<const std::uint8_t> bytes) override {
    written.insert(written.end(), bytes.begin(), bytes.end());
    return true;
  }
  void Close() override {}
  std::deque<std::uint8_t> input;
  std::vector<std::uint8_t> written;
};

TEST(PacedLink, EveryByteTakesItsWireTimeInBothDirections) {
  // 1100 baud: 10 ms per byte, far above any scheduling noise for a lower bound.
  QueueTransport transport;
  std::atomic<bool> stop{false};
  Link link(transport, stop, 1100);
  transport.input = {0x11, 0x22, 0x33};
  const auto start = Clock::now();
  for (std::uint8_t expected : {0x11, 0x22, 0x33}) {
    const ByteResult r = link.ReadByte(milliseconds(1000));
    ASSERT_EQ(r.state, ByteState::Byte);
    EXPECT_EQ(r.byte, expected);
  }
  const std::uint8_t answer[] = {1, 2};
  ASSERT_TRUE(link.Write(answer));
  // The answer goes out two byte times after the last byte came in: five
  // byte times in all since the host wrote.
  EXPECT_GE(Clock::now() - start, milliseconds(50));
  EXPECT_EQ(transport.written, std::vector<std::uint8_t>({1, 2}));
  EXPECT_EQ(link.BytesIn(), 3u);
  EXPECT_EQ(link.BytesOut(), 2u);
}

// A USB adapter's latency timer runs freely: what the instrument writes goes
// on at its next tick, so writes that follow each other go a tick apart.
TEST(PacedLink, AnAdaptersTimerHoldsEachWriteUntilItsNextTick) {
  QueueTransport transport;
  std::atomic<bool> stop{false};
  const auto start = Clock::now();
  Link link(transport, stop, 0, milliseconds(20));
  const std::uint8_t answer[] = {7};
  ASSERT_TRUE(link.Write(answer));
  EXPECT_GE(Clock::now() - start, milliseconds(20));
  ASSERT_TRUE(link.Write(answer));
  EXPECT_GE(Clock::now() - start, milliseconds(40));
  EXPECT_EQ(transport.written, std::vector<std::uint8_t>({7, 7}));
}

}  // namespace
}  // namespace pelvane::sim
