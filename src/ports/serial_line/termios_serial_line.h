// SerialLine over a Linux terminal device: termios on a non-blocking file
// descriptor, exclusive through TIOCEXCL and flock.
#pragma once

#include <termios.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "ports/serial_line/open_count_table.h"
#include "ports/serial_line/serial_line.h"
#include "ports/serial_line/tty_io.h"
#include "ports/serial_line/uucp_lock.h"

namespace pelvane::ports::serial_line {

// Which port a line opens: COMn (portNumber n, device /dev/ttyS{n-1}) or a
// device path used as it stands.
struct LineName {
  int portNumber = 0;
  std::string devicePath;

  std::string Device() const;
};

inline constexpr int kDefaultReceiveQueue = 4096;
inline constexpr int kDefaultTransmitQueue = 2048;

class TermiosSerialLine final : public SerialLine {
 public:
  // Opens and configures the device at once; a failure leaves ErrorCode() set.
  TermiosSerialLine(TtyIo& io, LineName name, int receiveQueue = kDefaultReceiveQueue,
                    int transmitQueue = kDefaultTransmitQueue);
  ~TermiosSerialLine() override;
  TermiosSerialLine(const TermiosSerialLine&) = delete;
  TermiosSerialLine& operator=(const TermiosSerialLine&) = delete;

  int RefreshStatus() override;
  int OpenAndConfigure() override;
  int OpenDevice() override;
  int CloseDevice() override;
  int GetQueueStatus(QueueStatus* status) override;
  int SetQueueSizes(int receiveSize, int xoffLimit, int transmitSize) override;
  int SetFlowControl(int type, int kind) override;
  int GetFlowControl(int* type, int* kind) override;
  int LineBit(int code, int value) override;
  int SetLineParameters(const LineParameters& parameters) override;
  int GetLineParameters(LineParameters* parameters) override;
  int WriteByte(std::uint8_t byte) override;
  int WriteText(std::string_view text) override;
  int WriteBlock(std::span<const std::uint8_t> bytes) override;
  int SendByteAhead(std::uint8_t byte) override;
  int ReadByte() override;
  int ReadBlock(std::span<std::uint8_t> buffer) override;
  int Purge(int direction, int count) override;
  void StatusDump(const std::function<void(std::string_view)>& sink) override;
  int MapSystemError(int errnum, std::string_view what) override;
  bool WaitReadable(int timeoutMs) override;
  void WaitTransmitProgress(int timeoutMs) override;
  void FinishSending() override;
  bool DeviceLost() const override { return deviceLost_; }

  bool IsOpen() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  const LineName& Name() const { return name_; }

 private:
  int RequireOpen();
  // Moves bytes from the line's own transmit queue into the kernel.
  void PumpTransmit();
  int KernelOutputQueue();
  // A read or a write failed with `errnum`: counted as a line error, and a
  // device that went away is marked lost with the system's account.
  void NoteDeviceFailure(int errnum);
  int ApplyTermios(const termios& tio, std::uint32_t baud, std::string_view what);

  TtyIo& io_;
  LineName name_;
  LineKey key_;
  bool counted_ = false;
  UucpLock uucpLock_;
  int fd_ = -1;

  termios tio_{};  // the settings last applied
  std::uint32_t baud_ = 0;
  char parity_ = 'N';
  int flowType_ = kFlowNone;
  int flowKind_ = kFlowNone;
  bool dtr_ = false;
  bool rts_ = false;
  std::uint32_t lineErrors_ = 0;  // bits 1 << LineBitCode of errors seen
  int modemStatus_ = 0;
  // Read by diagnostics from another thread than the one using the line.
  std::atomic<bool> deviceLost_{false};

  // Windows-style bookkeeping. The kernel's queues have fixed sizes, so the
  // transmit size is kept by the line itself: bytes the kernel cannot take yet
  // wait in pending_ and are moved on whenever the line is used.
  int receiveSize_;
  int transmitSize_;
  int xonLimit_ = 0;
  int xoffLimit_ = 128;
  std::vector<std::uint8_t> pending_;
  // At least as many bytes as the kernel's output queue holds: its count when
  // last asked plus every byte handed to it since (it can only have drained).
  // A write that fits even so needs no question to the driver, which saves a
  // system call for each acknowledgement byte of the handshake.
  std::int64_t kernelQueuedAtMost_ = 0;

  // Error counters of the driver (TIOCGICOUNT) at the last refresh.
  TtyIo::ErrorCounts counts_{};
  bool haveCounts_ = false;
};

}  // namespace pelvane::ports::serial_line
