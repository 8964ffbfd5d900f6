#include "ports/serial/serial_port.h"

#include <algorithm>
#include <thread>

#include "ports/serial/port_parameters.h"

namespace pelvane::ports {

std::unique_ptr<IQX_Port> CreateSerialPort() {
  return std::make_unique<serial::Port>();
}

namespace serial {
namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

std::string_view MessageText(int number) {
  switch (number) {
    case kMessageModuleName:
      return "corlane";
    // The spelling is the component's own; clients compare the text.
    case kMessageSuccess:
      return "Last command completed succesfully";
    case kMessageUnableToOpen:
      return "Unable to open port";
    case kMessageAlreadyOpen:
      return "Port already open";
    default:
      return {};
  }
}

Port::Port(LineFactory createLine) : createLine_(std::move(createLine)) {}

Port::~Port() {
  if (open_) CloseLine();
}

core::Status Port::Open(const std::string& openParameters, bool* pbOpenFlag) {
  if (pbOpenFlag == nullptr) return core::Status::Pointer;
  error_ = kMessageSuccess;
  if (open_) {
    error_ = kMessageAlreadyOpen;
    *pbOpenFlag = false;
    return core::Status::Ok;
  }
  SetDiagnostics({}, {});
  {
    std::lock_guard lock(diagnosticsMutex_);
    adapter_.clear();
  }
  *pbOpenFlag = false;

  const PortParameters parameters = ParsePortParameters(openParameters);
  if (!parameters.NamesPort()) {
    error_ = kMessageUnableToOpen;
    SetDiagnostics("no port named in \"" + openParameters + "\"",
                   "name a port such as COM1:115200,E,8,1 or /dev/ttyUSB0:115200,E,8,1");
    return core::Status::Ok;
  }

  // A bare device name asks for no settings: the line keeps the device's own.
  std::optional<serial_line::LineParameters> wanted;
  if (parameters.baud != 0 || parameters.parity != 0 || parameters.dataBits != 0 ||
      parameters.stopBits != 0)
    wanted = serial_line::LineParameters{parameters.baud, parameters.parity, parameters.dataBits,
                                         parameters.stopBits};
  line_ = createLine_();
  if (!line_->Open({parameters.portNumber, parameters.devicePath}, wanted)) {
    NoteLineProblem();
    line_.reset();
    error_ = kMessageUnableToOpen;
    return core::Status::Ok;
  }
  {
    std::lock_guard lock(diagnosticsMutex_);
    adapter_ = serial_line::DescribeAdapter(line_->Adapter());
  }
  open_ = true;
  *pbOpenFlag = true;
  return core::Status::Ok;
}

void Port::NoteLineProblem() {
  const serial_line::SystemProblem& problem = line_->Problem();
  SetDiagnostics(problem.reason, problem.hint);
}

void Port::SetDiagnostics(std::string reason, std::string hint) {
  std::lock_guard lock(diagnosticsMutex_);
  reason_ = std::move(reason);
  hint_ = std::move(hint);
}

std::string Port::GetSystemReason() const {
  std::lock_guard lock(diagnosticsMutex_);
  return reason_;
}

std::string Port::GetHint() const {
  std::lock_guard lock(diagnosticsMutex_);
  return hint_;
}

std::string Port::GetAdapterReport() const {
  std::lock_guard lock(diagnosticsMutex_);
  return adapter_;
}

core::Status Port::Close(bool* pbCloseFlag) {
  if (pbCloseFlag == nullptr) return core::Status::Pointer;
  error_ = kMessageSuccess;
  if (!open_) {
    *pbCloseFlag = false;
    return core::Status::Ok;
  }
  CloseLine();
  *pbCloseFlag = true;
  return core::Status::Ok;
}

void Port::CloseLine() {
  // Queued bytes get a bounded time to leave, so that a stopped line (a
  // vanished device) cannot hang the program; destroying the line drops
  // what is left then, restores the device and closes it.
  if (line_ && !line_->DeviceLost()) line_->WaitTransmitted(closeDrainTimeout_);
  line_.reset();
  open_ = false;
}

core::Status Port::BlockRead(std::uint8_t* pucBuffer, std::int32_t uiMaxSize, std::int32_t* lSize) {
  if (pucBuffer == nullptr || lSize == nullptr) return core::Status::Pointer;
  error_ = kMessageSuccess;
  std::int32_t count = 0;
  if (open_ && uiMaxSize > 0) {
    count =
        static_cast<std::int32_t>(line_->Read({pucBuffer, static_cast<std::size_t>(uiMaxSize)}));
    // A device that vanished would otherwise look like a silent instrument.
    if (line_->DeviceLost()) {
      error_ = kMessageUnableToOpen;
      NoteLineProblem();
    }
  }
  // The byte after the last one placed is set to 0 (the first byte when none
  // came); a buffer the caller said has no room is never touched.
  if (count < uiMaxSize) pucBuffer[count] = 0;
  if (count > 0) events_.Raise([&](IQX_PortEvents& l) { l.OnReceive(this, count); });
  *lSize = count;
  return core::Status::Ok;
}

core::Status Port::BlockWrite(const std::uint8_t* pucBuffer, std::int32_t uiMaxSize,
                              std::int32_t* lSize) {
  if (pucBuffer == nullptr || lSize == nullptr) return core::Status::Pointer;
  error_ = kMessageSuccess;
  std::int32_t count = 0;
  if (open_ && uiMaxSize > 0) {
    count =
        static_cast<std::int32_t>(line_->Write({pucBuffer, static_cast<std::size_t>(uiMaxSize)}));
    if (line_->DeviceLost()) {
      error_ = kMessageUnableToOpen;
      NoteLineProblem();
    }
  }
  *lSize = count;
  events_.Raise([&](IQX_PortEvents& l) { l.OnSend(this, count); });
  return core::Status::Ok;
}

core::Status Port::GetLastErrorString(std::string* lastError) {
  if (lastError == nullptr) return core::Status::Pointer;
  *lastError = std::string(MessageText(error_));
  return core::Status::Ok;
}

core::Status Port::GetLastError(std::int16_t* piLastError) {
  if (piLastError == nullptr) return core::Status::Pointer;
  *piLastError = static_cast<std::int16_t>(error_ - kMessageSuccess);
  return core::Status::Ok;
}

core::Status Port::Advise(IQX_PortEvents* listener, core::Cookie* cookie) {
  return events_.Advise(listener, cookie);
}

core::Status Port::Unadvise(core::Cookie cookie) {
  return events_.Unadvise(cookie);
}

void Port::WaitSent(std::size_t bytes, std::chrono::steady_clock::time_point writeStart,
                    std::chrono::milliseconds drainLimit) {
  if (!open_) return;
  const serial_line::LineParameters p = line_->Parameters();
  if (p.baud <= 0) return;
  // A start bit, the data bits, a parity bit unless none, the stop bits.
  const std::int64_t bitsPerChar = 1 + p.dataBits + (p.parity == 'N' ? 0 : 1) + p.stopBits;
  const auto wireEnd = writeStart + std::chrono::microseconds(static_cast<std::int64_t>(bytes) *
                                                              bitsPerChar * 1000000 / p.baud);
  const auto deadline = std::max(Clock::now(), wireEnd) + drainLimit;
  line_->WaitTransmitted(
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
  if (Clock::now() < wireEnd) std::this_thread::sleep_until(wireEnd);
}

bool Port::WaitReadable(std::chrono::milliseconds timeout) {
  if (!open_) return false;
  const bool ready = line_->WaitReadable(std::clamp(timeout, std::chrono::milliseconds(0),
                                                    std::chrono::milliseconds(24 * 3600 * 1000)));
  // Told at once, not only by the next read: whoever asks why the link failed
  // finds the system's reason.
  if (line_->DeviceLost()) NoteLineProblem();
  return ready;
}

bool Port::IsDeviceLost() const {
  return open_ && line_->DeviceLost();
}

}  // namespace serial
}  // namespace pelvane::ports
