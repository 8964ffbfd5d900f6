// A serial line: the device, its line and flow settings, its queues and modem
// lines. Results are library codes (line_errors.h); a failing operation also
// leaves its code as the line's sticky error.
//
// Threading: a line is used by one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <utility>

#include "ports/serial_line/system_error.h"

namespace pelvane::ports::serial_line {

struct LineParameters {
  std::int32_t baud = 0;
  char parity = 'N';  // N, O, E, M or S
  int dataBits = 8;
  int stopBits = 1;
  friend bool operator==(const LineParameters&, const LineParameters&) = default;
};

struct QueueStatus {
  int receiveCount = 0;
  int receiveSize = 0;
  int transmitCount = 0;
  int transmitSize = 0;
  int flags = 0;  // kXoffSent, kTransmitHeld
};
inline constexpr int kXoffSent = 1;
inline constexpr int kTransmitHeld = 2;

// Flow-control types (input side) and kinds (output side).
inline constexpr int kFlowNone = 0;
inline constexpr int kFlowTypeXonXoff = 1;
inline constexpr int kFlowTypeDtr = 3;
inline constexpr int kFlowTypeRts = 4;
inline constexpr int kFlowTypeUnsupported = 13;
inline constexpr int kFlowKindXonXoff = 1;
inline constexpr int kFlowKindCts = 12;
inline constexpr int kFlowKindDsr = 13;
inline constexpr int kFlowKindUnsupported = 15;

// Codes of LineBit.
enum LineBitCode {
  kBitDtr = 3,
  kBitRts = 4,
  kBitBreak = 7,
  kBitCts = 12,
  kBitDsr = 13,
  kBitRing = 14,
  kBitCarrier = 15,
  // Codes of transmit holds, which a Linux line never reports: they read 0.
  kBitFirstHold = 17,
  kBitLastHold = 20,
  kBitOverrun = 25,
  kBitParityError = 26,
  kBitFramingError = 27,
  kBitBreakReceived = 28,
  kBitReceiveOverflow = 31,
};
inline constexpr int kBitUnknown = 2;  // LineBit's answer for a code it does not know

// Modem status byte values.
inline constexpr int kModemCts = 0x10;
inline constexpr int kModemDsr = 0x20;
inline constexpr int kModemRing = 0x40;
inline constexpr int kModemCarrier = 0x80;

class SerialLine {
 public:
  virtual ~SerialLine() = default;

  virtual int RefreshStatus() = 0;
  virtual int OpenAndConfigure() = 0;
  virtual int OpenDevice() = 0;
  virtual int CloseDevice() = 0;
  virtual int GetQueueStatus(QueueStatus* status) = 0;
  virtual int SetQueueSizes(int receiveSize, int xoffLimit, int transmitSize) = 0;
  virtual int SetFlowControl(int type, int kind) = 0;
  virtual int GetFlowControl(int* type, int* kind) = 0;
  // For DTR and RTS: value 1 raises, 0 drops, -1 only reads. Answers 0 or 1,
  // or kBitUnknown for an unknown code.
  virtual int LineBit(int code, int value) = 0;
  virtual int SetLineParameters(const LineParameters& parameters) = 0;
  virtual int GetLineParameters(LineParameters* parameters) = 0;
  virtual int WriteByte(std::uint8_t byte) = 0;
  virtual int WriteText(std::string_view text) = 0;
  // Bytes accepted (at most what the transmit queue has room for).
  virtual int WriteBlock(std::span<const std::uint8_t> bytes) = 0;
  virtual int SendByteAhead(std::uint8_t byte) = 0;
  // The byte (0 to 255) or kNoByte.
  virtual int ReadByte() = 0;
  // Bytes placed; never waits.
  virtual int ReadBlock(std::span<std::uint8_t> buffer) = 0;
  // Direction 1 clears the transmit queue; direction 0 with count 0 clears the
  // receive queue; direction 0 with a count reads and drops up to count bytes.
  virtual int Purge(int direction, int count) = 0;
  virtual void StatusDump(const std::function<void(std::string_view)>& sink) = 0;
  virtual int MapSystemError(int errnum, std::string_view what) = 0;

  // Waits at most timeoutMs for input (true), or for a hang-up or device error
  // (true, and DeviceLost() turns true). Moves queued output on meanwhile.
  virtual bool WaitReadable(int timeoutMs) = 0;
  // Waits at most timeoutMs for the transmit queue to shrink.
  virtual void WaitTransmitProgress(int timeoutMs) = 0;
  // Once the transmit queue is empty: waits for the last characters to leave
  // the device before it is closed.
  virtual void FinishSending() = 0;
  virtual bool DeviceLost() const = 0;

  int ErrorCode() const { return error_; }
  int TakeErrorCode() {
    const int code = error_;
    error_ = 0;
    return code;
  }
  // The system's account of the last failure that came from the device.
  const SystemProblem& Problem() const { return problem_; }

 protected:
  int Fail(int code) {
    error_ = code;
    return code;
  }
  void SetProblem(SystemProblem problem) { problem_ = std::move(problem); }

 private:
  int error_ = 0;
  SystemProblem problem_;
};

}  // namespace pelvane::ports::serial_line
