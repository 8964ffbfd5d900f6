// What one exchange with the instrument costs on the line: the bytes each
// way and how long they take. The dry run's estimate and the run's overall
// progress are both reckoned in these seconds, so that the bar moves as the
// time passes and the time left is the estimate's.
//
// A serial line carries 11 bits a byte (8E1). A command frame goes out
// whole; an answer comes in handshake mode, where the host acknowledges its
// length byte (0xFF) and every body byte, and each acknowledgement costs the
// host's reaction on top of its wire time. GPIB transfers in blocks without
// acknowledgements, far faster than any serial rate; its figures are rough.
#pragma once

#include <cstdint>

namespace pelvane::upload {

// Measured against pelvane-sim with its line pacing (docs/performance.md):
// from an answer byte's arrival to the host's acknowledgement, including the
// wake-ups on both sides of a pseudo-terminal or USB adapter.
inline constexpr double kAcknowledgeTurnaroundSeconds = 60e-6;
// From an answer's last acknowledgement until the next command is on the
// line: the application layer's decoding, the controller's wait, the next
// command's encoding and the worker's write.
inline constexpr double kCommandTurnaroundSeconds = 250e-6;
// Opening the port and closing it again (the line settles before the close).
inline constexpr double kOpenCloseSeconds = 0.03;

// The sizes of the protocol's messages (without the frame's length byte and
// checksum), as the transfer program answers them.
struct MessageSize {
  static constexpr int kQuery = 7, kQueryAnswer = 9;
  static constexpr int kPower = 1, kPowerAnswer = 3;
  static constexpr int kRead = 10, kReadAnswerHeader = 10;
  static constexpr int kProgHeader = 9, kProgAnswer = 7;
  static constexpr int kChecksum = 10, kChecksumAnswer = 5;
  static constexpr int kErase = 11, kEraseAnswer = 7;
  static constexpr int kProgEnd = 1, kProgEndAnswer = 1;
  // The transfer program's upload block: length, load and execution
  // address, the program and a 16-bit sum; one verdict character back.
  static constexpr int kUploadOverhead = 14;
};

struct LineBytes {
  std::int64_t toInstrument = 0;
  std::int64_t fromInstrument = 0;
};

class LineCost {
 public:
  // `baud` of a serial line; 0 for the GPIB bus.
  explicit LineCost(std::int32_t baud = 0) : baud_(baud) {}

  bool Serial() const { return baud_ > 0; }
  std::int32_t Baud() const { return baud_; }

  // A command of `command` message bytes and its answer of `answer`.
  LineBytes ExchangeBytes(int command, int answer) const;
  double ExchangeSeconds(int command, int answer) const;
  // The transfer program's upload block and its verdict.
  LineBytes TransferBytes(std::int64_t programSize) const;
  double TransferSeconds(std::int64_t programSize) const;

 private:
  double ByteSeconds() const;

  std::int32_t baud_;
};

}  // namespace pelvane::upload
