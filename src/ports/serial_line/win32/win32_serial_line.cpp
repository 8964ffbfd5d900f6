#include "ports/serial_line/win32/win32_serial_line.h"

#include <algorithm>
#include <cctype>

#include "ports/serial_line/win32/system_error.h"

namespace pelvane::ports::serial_line {
namespace {

constexpr std::string_view kParityLetters = "NOEMS";  // DCB parity values 0 to 4
constexpr std::string_view kDevicePrefix = "\\\\.\\";

// How often a wait for the driver's transmit queue looks again: nothing
// signals an emptied queue to a synchronous handle.
constexpr DWORD kTransmitCheckMs = 10;

// The number n of a name "\\.\COMn" (any case); -1 for other names.
int ComNumberOf(std::string_view name) {
  if (!name.starts_with(kDevicePrefix)) return -1;
  name.remove_prefix(kDevicePrefix.size());
  if (name.size() < 4 || name.size() > 8) return -1;
  for (std::size_t i = 0; i < 3; ++i)
    if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) return -1;
  int number = 0;
  for (char c : name.substr(3)) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return -1;
    number = number * 10 + (c - '0');
  }
  return number;
}

std::wstring Widen(std::string_view text) {
  const int size =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

LineParameters ParametersOf(const DCB& dcb) {
  LineParameters p;
  p.baud = static_cast<std::int32_t>(dcb.BaudRate);
  p.parity = dcb.Parity < kParityLetters.size() ? kParityLetters[dcb.Parity] : 'N';
  p.dataBits = dcb.ByteSize;
  // One and a half count as two: the wire time is then never underestimated.
  p.stopBits = dcb.StopBits == ONESTOPBIT ? 1 : 2;
  return p;
}

}  // namespace

std::unique_ptr<SerialLine> CreateSerialLine() {
  return std::make_unique<Win32SerialLine>(SystemCommIo());
}

std::wstring Win32SerialLine::DevicePath(const LineName& name) {
  if (!name.devicePath.empty()) return Widen(name.devicePath);
  return L"\\\\.\\COM" + std::to_wstring(name.portNumber);
}

Win32SerialLine::Win32SerialLine(CommIo& io) : io_(io) {}

Win32SerialLine::~Win32SerialLine() {
  CloseDevice();
  // Only a line that counted itself in gives its count back: a line that
  // failed because another held the port must not release the other's hold.
  if (counted_) OpenCountTable::Instance().Release(key_);
}

bool Win32SerialLine::Fail(SystemProblem problem) {
  problem_ = std::move(problem);
  return false;
}

bool Win32SerialLine::FailWithError(DWORD error, std::string_view what) {
  return Fail(DescribeSystemError(error, device_, what));
}

bool Win32SerialLine::Open(const LineName& name, const std::optional<LineParameters>& wanted) {
  device_ = name.devicePath.empty() ? "COM" + std::to_string(name.portNumber) : name.devicePath;
  const int number = name.devicePath.empty() ? name.portNumber : ComNumberOf(name.devicePath);
  if (name.devicePath.empty() || number >= 0) {
    key_.portIndex = number - 1;
    if (!OpenCountTable::InRange(key_.portIndex))
      return Fail(
          {ProblemKind::kMissing,
           device_ + ": no such port (COM1 to COM" + std::to_string(OpenCountTable::kPorts) + ")",
           "check the COM number in Device Manager (\"Ports (COM & LPT)\"), or run "
           "pelvane-cli --list-ports"});
  } else {
    key_.device = name.devicePath;
    std::transform(key_.device.begin(), key_.device.end(), key_.device.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  }
  // Settings no line can carry are refused before the device is touched; the
  // driver decides on 4 data bits.
  if (wanted) {
    if (const std::string fault = ParameterFault(*wanted, 4); !fault.empty())
      return Fail(RefusedParameters(device_, *wanted, fault));
  }
  if (!OpenCountTable::Instance().TryAcquire(key_))
    return Fail({ProblemKind::kBusy, device_ + ": already open in this program",
                 "close the other connection first"});
  counted_ = true;

  // No sharing: while Pelvane holds the port, no other program can open it.
  const HANDLE handle =
      io_.Open(DevicePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0);
  if (handle == INVALID_HANDLE_VALUE) return FailWithError(::GetLastError(), kStepOpen);
  handle_ = handle;
  return Configure(wanted);
}

bool Win32SerialLine::Configure(const std::optional<LineParameters>& wanted) {
  // Room for a whole transfer program. Only a request: drivers that keep
  // their own sizes refuse it, and the line bounds its writes itself.
  io_.SetupComm(handle_, kReceiveQueueSize, static_cast<DWORD>(kTransmitQueueSize));
  saved_.DCBlength = sizeof saved_;
  if (!io_.GetCommState(handle_, &saved_)) return FailWithError(::GetLastError(), kStepOpen);
  if (!io_.GetCommTimeouts(handle_, &savedTimeouts_))
    return FailWithError(::GetLastError(), kStepOpen);
  haveSaved_ = true;

  DCB dcb = saved_;
  dcb.fBinary = TRUE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  // Otherwise one framing or parity error stops every read and write until
  // the error is cleared.
  dcb.fAbortOnError = FALSE;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.XonLim = kReceiveQueueSize / 4;
  dcb.XoffLim = 128;
  dcb.EofChar = 0;
  dcb.EvtChar = 0;
  std::string what = "configure";
  if (wanted) {
    what = "line parameters " + DescribeParameters(*wanted) + " refused";
    dcb.BaudRate = static_cast<DWORD>(wanted->baud);
    dcb.Parity = static_cast<BYTE>(kParityLetters.find(wanted->parity));
    dcb.fParity = wanted->parity != 'N';
    dcb.ByteSize = static_cast<BYTE>(wanted->dataBits);
    // Five-bit characters take one and a half stop bits, whatever was asked.
    dcb.StopBits = wanted->dataBits == 5   ? ONE5STOPBITS
                   : wanted->stopBits == 2 ? TWOSTOPBITS
                                           : ONESTOPBIT;
  }
  if (!io_.SetCommState(handle_, &dcb)) return FailWithError(::GetLastError(), what);
  parameters_ = ParametersOf(dcb);

  // Reads return at once with what is queued.
  timeouts_ = {MAXDWORD, 0, 0, 0, kWriteTimeoutMs};
  if (!io_.SetCommTimeouts(handle_, &timeouts_))
    return FailWithError(::GetLastError(), "configure");
  // Wine's pseudo-terminal ports have no modem lines and refuse; nothing
  // depends on them.
  io_.EscapeCommFunction(handle_, SETDTR);
  io_.EscapeCommFunction(handle_, SETRTS);
  return true;
}

void Win32SerialLine::CloseDevice() {
  if (handle_ == INVALID_HANDLE_VALUE) return;
  COMSTAT status{};
  DWORD errors = 0;
  // Output is dropped only when some is left (a drain that gave up); with
  // nothing left the driver gets to send its last characters. On Wine's
  // pseudo-terminal ports a purge of the output would also discard what the
  // other side has not read yet.
  const bool left = io_.ClearCommError(handle_, &errors, &status) && status.cbOutQue > 0;
  if (left)
    io_.PurgeComm(handle_, PURGE_TXABORT | PURGE_TXCLEAR);
  else if (!deviceLost_)
    io_.FlushFileBuffers(handle_);
  io_.PurgeComm(handle_, PURGE_RXABORT | PURGE_RXCLEAR);
  if (haveSaved_) {
    io_.SetCommState(handle_, &saved_);
    io_.SetCommTimeouts(handle_, &savedTimeouts_);
  }
  io_.EscapeCommFunction(handle_, CLRDTR);
  io_.EscapeCommFunction(handle_, CLRRTS);
  io_.Close(handle_);
  handle_ = INVALID_HANDLE_VALUE;
  held_.reset();
}

bool Win32SerialLine::QueueStatus(COMSTAT* status) {
  DWORD errors = 0;
  return io_.ClearCommError(handle_, &errors, status) != FALSE;
}

bool Win32SerialLine::SetReadTimeout(DWORD milliseconds) {
  if (timeouts_.ReadIntervalTimeout == 0 && timeouts_.ReadTotalTimeoutMultiplier == 0 &&
      timeouts_.ReadTotalTimeoutConstant == milliseconds)
    return true;
  COMMTIMEOUTS timeouts = timeouts_;
  timeouts.ReadIntervalTimeout = 0;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = milliseconds;
  if (!io_.SetCommTimeouts(handle_, &timeouts)) return false;
  timeouts_ = timeouts;
  return true;
}

void Win32SerialLine::NoteDeviceFailure(DWORD error) {
  SystemProblem problem = DescribeSystemError(error, device_, kStepTransfer);
  if (problem.kind != ProblemKind::kVanished) return;
  problem_ = std::move(problem);
  deviceLost_ = true;
}

bool Win32SerialLine::EndWait(DWORD error, DWORD milliseconds) {
  NoteDeviceFailure(error);
  if (deviceLost_) return true;
  io_.Sleep(milliseconds);
  return false;
}

std::size_t Win32SerialLine::Read(std::span<std::uint8_t> buffer) {
  if (handle_ == INVALID_HANDLE_VALUE || buffer.empty()) return 0;
  std::size_t placed = 0;
  if (held_) {
    buffer[0] = *held_;
    held_.reset();
    placed = 1;
  }
  COMSTAT status{};
  if (placed == buffer.size()) return placed;
  if (!QueueStatus(&status)) {
    NoteDeviceFailure(::GetLastError());
    return placed;
  }
  // Only what is queued, so that the read returns at once whatever the
  // time-outs a wait left behind.
  const auto want =
      static_cast<DWORD>(std::min<std::size_t>(buffer.size() - placed, status.cbInQue));
  if (want == 0) return placed;
  DWORD got = 0;
  if (!io_.ReadFile(handle_, buffer.data() + placed, want, &got))
    NoteDeviceFailure(::GetLastError());
  return placed + std::min<std::size_t>(got, want);
}

std::size_t Win32SerialLine::Write(std::span<const std::uint8_t> bytes) {
  if (handle_ == INVALID_HANDLE_VALUE || bytes.empty()) return 0;
  COMSTAT status{};
  if (!QueueStatus(&status)) {
    NoteDeviceFailure(::GetLastError());
    return 0;
  }
  const std::size_t queued = std::min<std::size_t>(status.cbOutQue, kTransmitQueueSize);
  const auto count = static_cast<DWORD>(std::min(bytes.size(), kTransmitQueueSize - queued));
  if (count == 0) return 0;
  DWORD written = 0;
  if (!io_.WriteFile(handle_, bytes.data(), count, &written)) NoteDeviceFailure(::GetLastError());
  return std::min<DWORD>(written, count);
}

bool Win32SerialLine::WaitReadable(std::chrono::milliseconds timeout) {
  if (handle_ == INVALID_HANDLE_VALUE) return false;
  // MAXDWORD is not a time-out but a mode of its own.
  const auto ms = static_cast<DWORD>(std::clamp<std::int64_t>(timeout.count(), 0, MAXDWORD - 1));
  if (deviceLost_) {
    // The condition was reported already; sleeping out the wait keeps a
    // caller that does not stop from spinning.
    io_.Sleep(ms);
    return true;
  }
  if (held_) return true;
  COMSTAT status{};
  if (!QueueStatus(&status)) return EndWait(::GetLastError(), ms);
  if (status.cbInQue > 0) return true;
  if (ms == 0) return false;
  if (!SetReadTimeout(ms)) return EndWait(::GetLastError(), ms);
  std::uint8_t byte = 0;
  DWORD got = 0;
  if (!io_.ReadFile(handle_, &byte, 1, &got)) return EndWait(::GetLastError(), ms);
  if (got == 1) {
    held_ = byte;
    return true;
  }
  // Wine lets a wait on a port whose other end closed run out its time
  // without an error; the queue status tells.
  if (!QueueStatus(&status)) return EndWait(::GetLastError(), 0);
  return status.cbInQue > 0;
}

bool Win32SerialLine::WaitTransmitted(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (handle_ == INVALID_HANDLE_VALUE || deviceLost_) return false;
    COMSTAT status{};
    if (!QueueStatus(&status)) {
      NoteDeviceFailure(::GetLastError());
      return false;
    }
    if (status.cbOutQue == 0) return true;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return false;
    io_.Sleep(static_cast<DWORD>(std::min<std::int64_t>(left, kTransmitCheckMs)));
  }
}

}  // namespace pelvane::ports::serial_line
