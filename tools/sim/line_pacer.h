// Wire timing of a paced line, as plain arithmetic on time points, so that
// the simulator's pacing can be checked without a clock.
//
// A byte the host writes arrives one byte time after the line was free and
// the host wrote it (the moment the simulator saw it stands in for that); the
// next one follows one byte time behind. Late wake-ups of the simulator do
// not push later bytes back: their times come from when they were seen, not
// from when the simulator got round to them. Only answers show when a byte
// arrived, so the simulator sleeps before it writes, not for every byte in.
//
// A byte the instrument sends is on the host's side one byte time after the
// line was free and the instrument had what it answers: the last byte it
// consumed. The simulator's own reaction (waking up, working out the answer)
// is not the host's and is hidden inside that byte time, as a real
// instrument's UART starts the next byte as soon as it is written.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>

namespace pelvane::sim {

class LinePacer {
 public:
  using Clock = std::chrono::steady_clock;

  explicit LinePacer(Clock::duration byteTime) : byteTime_(byteTime) {}

  Clock::duration ByteTime() const { return byteTime_; }

  // The arrival time of the next host byte, seen in a read at `seen`.
  Clock::time_point Arrival(Clock::time_point seen) {
    rxFree_ = std::max(rxFree_, seen) + byteTime_;
    return rxFree_;
  }

  // The instrument has taken the byte that arrived at `arrival`.
  void Consumed(Clock::time_point arrival) {
    lastConsumed_ = std::max(lastConsumed_, arrival);
    cued_ = true;
  }

  // When `count` bytes the instrument writes at `now` are all on the host's
  // side: one byte time each after the line is free and the instrument had
  // its cue, the last byte it consumed. A write that no byte taken since the
  // last write prompted starts from `now`.
  Clock::time_point Delivery(Clock::time_point now, std::size_t count) {
    const Clock::time_point cue = cued_ ? lastConsumed_ : now;
    cued_ = false;
    txFree_ = std::max(txFree_, cue) + byteTime_ * static_cast<long>(count);
    return txFree_;
  }

 private:
  Clock::duration byteTime_;
  Clock::time_point rxFree_{};
  Clock::time_point txFree_{};
  Clock::time_point lastConsumed_{};
  bool cued_ = false;
};

}  // namespace pelvane::sim
