// A user of a serial line: time-out loops over the line's non-waiting reads
// and writes. While it exists the line runs at 9600,N,8,1 without flow
// control; destroying it restores flow control and line parameters.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>

#include "ports/serial_line/line_settings.h"
#include "ports/serial_line/serial_line.h"

namespace pelvane::ports::serial_line {

class LineUser {
 public:
  static constexpr LineParameters kUserDefaults{9600, 'N', 8, 1};

  explicit LineUser(SerialLine& line);
  ~LineUser();
  LineUser(const LineUser&) = delete;
  LineUser& operator=(const LineUser&) = delete;

  // The byte, or kNoByte when none came within the time-out.
  int ReadByte(std::chrono::milliseconds timeout);
  // 0, or the line's code when the byte was not accepted.
  int WriteByte(std::uint8_t byte);
  // Reads until the buffer is full or the time-out passed (one pass for 0).
  // When fewer bytes than asked came, the byte after the last one placed is
  // set to 0. Returns the bytes placed.
  int BlockRead(std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout);
  int BlockWrite(std::span<const std::uint8_t> bytes);
  int SetQueueSizes(int transmitSize);
  int TransmitCount();

  void SetPostWriteDelay(std::chrono::milliseconds delay) { postWriteDelay_ = delay; }

 private:
  SerialLine& line_;
  std::chrono::milliseconds postWriteDelay_{0};
  std::unique_ptr<LineSettings> settings_;
  std::unique_ptr<FlowSettings> flow_;
};

}  // namespace pelvane::ports::serial_line
