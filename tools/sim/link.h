// The line as the instrument sees it: the transport plus what happens on the
// way (wire-time pacing, a USB adapter's latency timer) and the transcript of
// every byte. Line noise is the instrument's (it damages its answers).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <fstream>
#include <optional>
#include <span>
#include <string>

#include "sim/line_pacer.h"
#include "sim/transport.h"

namespace pelvane::sim {

enum class ByteState { Byte, Timeout, Stopped, Closed };

struct ByteResult {
  ByteState state;
  std::uint8_t byte = 0;
};

class Link {
 public:
  // `stop` is polled while waiting so that a signal or a test ends a wait
  // quickly. `baud` 0 means no pacing. With an `adapterLatency`, bytes to the
  // host are held and handed on at the next tick of a timer that runs freely
  // at that period, as a USB serial adapter's latency timer holds what the
  // instrument sends (an adapter hands them on as soon as the tick comes).
  Link(Transport& transport, const std::atomic<bool>& stop, long baud,
       std::chrono::milliseconds adapterLatency = std::chrono::milliseconds(0));

  // Opens the transcript; false when the file cannot be written.
  bool OpenTranscript(const std::string& path);

  // Waits up to `timeout` (nothing: without limit) for the next byte.
  ByteResult ReadByte(std::optional<std::chrono::milliseconds> timeout);
  bool Write(std::span<const std::uint8_t> bytes);
  void DiscardInput();
  void Close() { transport_.Close(); }

  std::uint64_t BytesIn() const { return bytes_in_; }
  std::uint64_t BytesOut() const { return bytes_out_; }

 private:
  void Log(const char* direction, std::span<const std::uint8_t> bytes);
  void PaceUntil(std::chrono::steady_clock::time_point t);

  Transport& transport_;
  const std::atomic<bool>& stop_;
  std::optional<LinePacer> pacer_;  // only when paced
  std::chrono::steady_clock::duration adapterLatency_;
  std::deque<std::uint8_t> pending_;
  // When each pending byte has crossed the line (only when paced).
  std::deque<std::chrono::steady_clock::time_point> arrivals_;
  std::chrono::steady_clock::time_point start_;
  std::ofstream transcript_;
  std::uint64_t bytes_in_ = 0;
  std::uint64_t bytes_out_ = 0;
};

}  // namespace pelvane::sim
