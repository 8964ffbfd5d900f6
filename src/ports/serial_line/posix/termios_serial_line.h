// The serial line over a Linux terminal device: termios on a non-blocking
// file descriptor, exclusive through TIOCEXCL, flock and the UUCP lock file.
// COMn is /dev/ttyS{n-1}; a device path is used as it stands.
#pragma once

#include <termios.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "ports/serial_line/open_count_table.h"
#include "ports/serial_line/posix/tty_io.h"
#include "ports/serial_line/posix/uucp_lock.h"
#include "ports/serial_line/serial_line.h"

namespace pelvane::ports::serial_line {

class TermiosSerialLine final : public SerialLine {
 public:
  explicit TermiosSerialLine(TtyIo& io);
  ~TermiosSerialLine() override;
  TermiosSerialLine(const TermiosSerialLine&) = delete;
  TermiosSerialLine& operator=(const TermiosSerialLine&) = delete;

  bool Open(const LineName& name, const std::optional<LineParameters>& wanted) override;
  std::size_t Read(std::span<std::uint8_t> buffer) override;
  std::size_t Write(std::span<const std::uint8_t> bytes) override;
  bool WaitReadable(std::chrono::milliseconds timeout) override;
  bool WaitTransmitted(std::chrono::milliseconds limit) override;
  bool DeviceLost() const override { return deviceLost_; }
  LineParameters Parameters() const override { return parameters_; }
  const SystemProblem& Problem() const override { return problem_; }
  AdapterFacts Adapter() const override { return adapter_; }

  // The device a name opens.
  static std::string DevicePath(const LineName& name);

 private:
  bool Fail(SystemProblem problem);
  bool FailWithError(int errnum, std::string_view what);
  bool OpenDevice();
  bool Configure(const std::optional<LineParameters>& wanted);
  // Asks the driver for low latency and reads back what holds.
  void AskForLowLatency();
  void CloseDevice();
  // Moves bytes from the line's own transmit queue into the kernel.
  void PumpTransmit();
  // Waits at most timeoutMs for the kernel to take more of the line's queue;
  // sleeps out the time when it takes nothing, so a wait never spins.
  void WaitTransmitProgress(int timeoutMs);
  int KernelOutputQueue();
  // A read or a write failed with `errnum`: a device that went away is
  // marked lost with the system's account.
  void NoteDeviceFailure(int errnum);

  TtyIo& io_;
  std::string device_;
  LineKey key_;
  bool counted_ = false;
  UucpLock uucpLock_;
  int fd_ = -1;

  // The settings found at open, put back at close.
  termios saved_{};
  std::uint32_t savedCustomBaud_ = 0;  // their rate when it has no Bxxx constant
  bool haveSaved_ = false;
  LineParameters parameters_;
  SystemProblem problem_;
  AdapterFacts adapter_;
  // Low latency was clear when the line opened and is cleared again at close:
  // the flag outlives the open (an FTDI adapter keeps its 1 ms timer).
  bool clearLowLatencyAtClose_ = false;
  // Read by diagnostics from another thread than the one using the line.
  std::atomic<bool> deviceLost_{false};

  // The kernel's queues have fixed sizes and drivers hold only a few
  // kilobytes, so the transmit queue is kept by the line itself: bytes the
  // kernel cannot take yet wait in pending_ and are moved on whenever the line
  // is used.
  std::vector<std::uint8_t> pending_;
  // At least as many bytes as the kernel's output queue holds: its count when
  // last asked plus every byte handed to it since (it can only have drained).
  // A write that fits even so needs no question to the driver, which saves a
  // system call for each acknowledgement byte of the handshake.
  std::int64_t kernelQueuedAtMost_ = 0;
};

}  // namespace pelvane::ports::serial_line
