// Corlane: the serial port component. Opens a serial device from parameters
// such as "COM1:115200,E,8,1" or "/dev/ttyUSB0:115200,E,8,1", reads without
// waiting and queues writes of up to 32768 bytes.
//
// Threading: one thread at a time (the session's owner thread for Open and
// Close, its worker in between); events run on the calling thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/event_source.h"
#include "ports/iqx_port.h"
#include "ports/port_diagnostics.h"
#include "ports/serial_line/serial_line.h"

namespace pelvane::ports {

// The Corlane Port; it also implements IQX_PortWait and IQX_PortDiagnostics.
std::unique_ptr<IQX_Port> CreateSerialPort();

namespace serial {

// Message numbers of the component; GetLastError returns the number minus 101.
inline constexpr int kMessageModuleName = 100;
inline constexpr int kMessageSuccess = 101;
inline constexpr int kMessageUnableToOpen = 102;
inline constexpr int kMessageAlreadyOpen = 103;

// The text of a message number; empty for numbers the table does not hold.
std::string_view MessageText(int number);

// Close waits at most this long for queued bytes to leave; what is left then
// is dropped, so a stopped line (flow control, a vanished device) cannot hang
// the program.
inline constexpr std::chrono::milliseconds kDefaultCloseDrainTimeout{3000};

// Makes the line a port opens: the platform's back end, or in tests one over
// a recording system-call layer.
using LineFactory = std::function<std::unique_ptr<serial_line::SerialLine>()>;

class Port final : public IQX_Port, public IQX_PortWait, public IQX_PortDiagnostics {
 public:
  explicit Port(LineFactory createLine = serial_line::CreateSerialLine);
  // Closes a port that is still open, so the device and its lock are freed.
  ~Port() override;
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  core::Status Close(bool* pbCloseFlag) override;
  core::Status Open(const std::string& openParameters, bool* pbOpenFlag) override;
  core::Status BlockRead(std::uint8_t* pucBuffer, std::int32_t uiMaxSize,
                         std::int32_t* lSize) override;
  core::Status BlockWrite(const std::uint8_t* pucBuffer, std::int32_t uiMaxSize,
                          std::int32_t* lSize) override;
  core::Status GetLastErrorString(std::string* lastError) override;
  core::Status GetLastError(std::int16_t* piLastError) override;
  core::Status Advise(IQX_PortEvents* listener, core::Cookie* cookie) override;
  core::Status Unadvise(core::Cookie cookie) override;

  bool WaitReadable(std::chrono::milliseconds timeout) override;
  void WaitSent(std::size_t bytes, std::chrono::steady_clock::time_point writeStart,
                std::chrono::milliseconds drainLimit) override;

  std::string GetSystemReason() const override;
  std::string GetHint() const override;
  bool IsDeviceLost() const override;
  std::string GetAdapterReport() const override;

  bool IsOpen() const { return open_; }
  void SetCloseDrainTimeout(std::chrono::milliseconds timeout) { closeDrainTimeout_ = timeout; }

 private:
  void CloseLine();
  void NoteLineProblem();
  void SetDiagnostics(std::string reason, std::string hint);

  LineFactory createLine_;
  bool open_ = false;
  int error_ = kMessageSuccess;
  // The diagnostics may be read on another thread (a user interface showing
  // why the link failed) while the session's worker still uses the port.
  mutable std::mutex diagnosticsMutex_;
  std::string reason_;   // guarded by diagnosticsMutex_
  std::string hint_;     // guarded by diagnosticsMutex_
  std::string adapter_;  // guarded by diagnosticsMutex_
  std::chrono::milliseconds closeDrainTimeout_ = kDefaultCloseDrainTimeout;

  // Present while the port is open.
  std::unique_ptr<serial_line::SerialLine> line_;

  core::EventSource<IQX_PortEvents> events_;
};

}  // namespace serial
}  // namespace pelvane::ports
