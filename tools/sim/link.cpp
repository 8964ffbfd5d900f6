#include "sim/link.h"

#include <sys/prctl.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <thread>

namespace pelvane::sim {
namespace {

// How often a wait without limit looks at the stop request.
constexpr std::chrono::milliseconds kStopPoll{100};

// 8E1: start bit, 8 data bits, parity, stop bit.
constexpr int kBitsPerByte = 11;

// Pacing sleeps for about one byte time (95 us at 115200 baud). The default
// timer slack of 50 us would add up to half of that to every answer byte, so
// a paced line asks for wake-ups on time.
void AskForPreciseWakeUps() {
  static thread_local const bool asked = [] {
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    return true;
  }();
  (void)asked;
}

}  // namespace

Link::Link(Transport& transport, const std::atomic<bool>& stop, long baud,
           std::chrono::milliseconds adapterLatency)
    : transport_(transport),
      stop_(stop),
      adapterLatency_(adapterLatency),
      start_(std::chrono::steady_clock::now()) {
  if (baud > 0) {
    pacer_.emplace(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(static_cast<double>(kBitsPerByte) / baud)));
  }
}

bool Link::OpenTranscript(const std::string& path) {
  transcript_.open(path, std::ios::out | std::ios::trunc);
  return transcript_.good();
}

void Link::Log(const char* direction, std::span<const std::uint8_t> bytes) {
  if (!transcript_.is_open() || bytes.empty()) return;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%12.6f %s", seconds, direction);
  transcript_ << stamp;
  for (std::uint8_t b : bytes) {
    char hex[4];
    std::snprintf(hex, sizeof hex, " %02X", b);
    transcript_ << hex;
  }
  transcript_ << '\n';
  transcript_.flush();
}

void Link::PaceUntil(std::chrono::steady_clock::time_point t) {
  AskForPreciseWakeUps();
  if (t > std::chrono::steady_clock::now()) std::this_thread::sleep_until(t);
}

ByteResult Link::ReadByte(std::optional<std::chrono::milliseconds> timeout) {
  const auto deadline = timeout ? std::chrono::steady_clock::now() + *timeout
                                : std::chrono::steady_clock::time_point::max();
  while (pending_.empty()) {
    if (stop_.load()) return {ByteState::Stopped};
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return {ByteState::Timeout};
    auto wait = kStopPoll;
    if (deadline != std::chrono::steady_clock::time_point::max()) {
      wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
    }
    std::array<std::uint8_t, 512> buffer;
    const ReadResult r = transport_.Read(buffer, wait);
    if (r.state == ReadState::Closed) return {ByteState::Closed};
    if (r.state == ReadState::Data) {
      const auto seen = std::chrono::steady_clock::now();
      const std::span<std::uint8_t> got(buffer.data(), r.count);
      Log("RX", got);
      bytes_in_ += r.count;
      for (std::uint8_t& b : got) {
        pending_.push_back(b);
        if (pacer_) arrivals_.push_back(pacer_->Arrival(seen));
      }
    }
  }
  if (pacer_) {
    // Each byte is there only after its wire time behind the one before. The
    // instrument may work on it early: nothing it does shows on the line
    // before its answer, and Write holds that back until one byte time after
    // this arrival. Sleeping here for every byte of a frame would only burn
    // processor time in wake-ups.
    pacer_->Consumed(arrivals_.front());
    arrivals_.pop_front();
  }
  const std::uint8_t byte = pending_.front();
  pending_.pop_front();
  return {ByteState::Byte, byte};
}

bool Link::Write(std::span<const std::uint8_t> bytes) {
  auto ready = std::chrono::steady_clock::now();
  if (pacer_) ready = std::max(ready, pacer_->Delivery(ready, bytes.size()));
  if (adapterLatency_ > std::chrono::steady_clock::duration::zero()) {
    // The bytes are in the adapter once they crossed the wire; it hands them
    // on at its timer's next tick.
    const auto ticks =
        (ready - start_ + adapterLatency_ - std::chrono::nanoseconds(1)) / adapterLatency_;
    ready = start_ + ticks * adapterLatency_;
  }
  if (pacer_ || adapterLatency_ > std::chrono::steady_clock::duration::zero()) PaceUntil(ready);
  Log("TX", bytes);
  bytes_out_ += bytes.size();
  return transport_.Write(bytes);
}

void Link::DiscardInput() {
  pending_.clear();
  arrivals_.clear();
  transport_.DiscardInput();
}

}  // namespace pelvane::sim
