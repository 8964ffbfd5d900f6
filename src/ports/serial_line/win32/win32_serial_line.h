// The serial line over the Win32 communications API: a synchronous handle on
// \\.\COMn opened without sharing (exclusive use), one DCB and COMMTIMEOUTS.
// Reads never wait: they take what the driver's queue holds. A wait for input
// is one ReadFile of one byte with the wait as its time-out, sleeping in the
// driver; the byte is kept and handed out first by the next read. No
// overlapped I/O: it does not work on Wine's pseudo-terminal ports (aborted,
// or time-outs ignored) and is not needed.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "ports/serial_line/open_count_table.h"
#include "ports/serial_line/serial_line.h"
#include "ports/serial_line/win32/comm_io.h"

namespace pelvane::ports::serial_line {

// What the driver is asked to hold for reading.
inline constexpr DWORD kReceiveQueueSize = 4096;
// A write returns after this long at the latest, with what the driver took,
// so that a line that does not move cannot hold the caller.
inline constexpr DWORD kWriteTimeoutMs = 200;

class Win32SerialLine final : public SerialLine {
 public:
  explicit Win32SerialLine(CommIo& io);
  ~Win32SerialLine() override;
  Win32SerialLine(const Win32SerialLine&) = delete;
  Win32SerialLine& operator=(const Win32SerialLine&) = delete;

  bool Open(const LineName& name, const std::optional<LineParameters>& wanted) override;
  std::size_t Read(std::span<std::uint8_t> buffer) override;
  std::size_t Write(std::span<const std::uint8_t> bytes) override;
  bool WaitReadable(std::chrono::milliseconds timeout) override;
  bool WaitTransmitted(std::chrono::milliseconds limit) override;
  bool DeviceLost() const override { return deviceLost_; }
  LineParameters Parameters() const override { return parameters_; }
  const SystemProblem& Problem() const override { return problem_; }

  // The name CreateFileW opens: \\.\COMn for COMn (COM10 and up need that
  // form); a name given in that form is used as it stands.
  static std::wstring DevicePath(const LineName& name);

 private:
  bool Fail(SystemProblem problem);
  bool FailWithError(DWORD error, std::string_view what);
  bool Configure(const std::optional<LineParameters>& wanted);
  void CloseDevice();
  // ClearCommError: the queues' counts, and any line error cleared, so that
  // it cannot hold up later reads and writes.
  bool QueueStatus(COMSTAT* status);
  bool SetReadTimeout(DWORD milliseconds);
  // A call failed with `error`: a device that went away is marked lost with
  // the system's account.
  void NoteDeviceFailure(DWORD error);
  // Ends a wait after a failed call: at once for a lost device (true);
  // otherwise only after `milliseconds`, so a caller that tries again does not
  // spin (false).
  bool EndWait(DWORD error, DWORD milliseconds);

  CommIo& io_;
  std::string device_;  // the name the user gave, for messages ("COM5")
  LineKey key_;
  bool counted_ = false;
  HANDLE handle_ = INVALID_HANDLE_VALUE;

  // The settings found at open, put back at close.
  DCB saved_{};
  COMMTIMEOUTS savedTimeouts_{};
  bool haveSaved_ = false;
  COMMTIMEOUTS timeouts_{};  // as last set
  LineParameters parameters_;
  // The byte a wait for input read; the next read hands it out first.
  std::optional<std::uint8_t> held_;
  SystemProblem problem_;
  // Read by diagnostics from another thread than the one using the line.
  std::atomic<bool> deviceLost_{false};
};

}  // namespace pelvane::ports::serial_line
