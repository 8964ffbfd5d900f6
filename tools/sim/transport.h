// The instrument's end of the wire. The simulator talks to its host only
// through this interface, so that a pseudo-terminal, a serial device, a socket
// or a test's in-process pipe can carry the same instrument.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

namespace pelvane::sim {

enum class ReadState {
  Data,     // at least one byte was placed
  Timeout,  // nothing came within the time
  Closed,   // the far end is gone for good; the instrument stops
};

struct ReadResult {
  ReadState state = ReadState::Timeout;
  std::size_t count = 0;
};

class Transport {
 public:
  virtual ~Transport() = default;
  // Waits up to `timeout` for input and places what is there, at most
  // buffer.size() bytes. A pseudo-terminal whose host side is not open is not
  // closed: it reads as a time-out until a host opens it again.
  virtual ReadResult Read(std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout) = 0;
  // Writes every byte or returns false.
  virtual bool Write(std::span<const std::uint8_t> bytes) = 0;
  // Drops input that has arrived but not been read (a resetting instrument
  // forgets a half-received block).
  virtual void DiscardInput() {}
  // Ends all use of the device; later calls fail.
  virtual void Close() = 0;
};

}  // namespace pelvane::sim
