#include "ports/serial/serial_port.h"

#include <algorithm>
#include <cctype>
#include <thread>

#include "ports/serial/port_parameters.h"
#include "ports/serial_line/line_errors.h"

namespace pelvane::ports {

std::unique_ptr<IQX_Port> CreateSerialPort() {
  return std::make_unique<serial::Port>();
}

namespace serial {
namespace {

using Clock = std::chrono::steady_clock;

std::string DescribeParameters(const serial_line::LineParameters& p) {
  std::string text = std::to_string(p.baud) + ",";
  text += p.parity == 0
              ? std::string("(none)")
              : (std::isprint(static_cast<unsigned char>(p.parity)) ? std::string(1, p.parity)
                                                                    : std::string("?"));
  return text + "," + std::to_string(p.dataBits) + "," + std::to_string(p.stopBits);
}

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

Port::Port(serial_line::TtyIo& io) : io_(io) {}

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
  *pbOpenFlag = false;

  const PortParameters parameters = ParsePortParameters(openParameters);
  if (!parameters.NamesPort()) {
    error_ = kMessageUnableToOpen;
    SetDiagnostics("no port named in \"" + openParameters + "\"",
                   "name a port such as COM1:115200,E,8,1 or /dev/ttyUSB0:115200,E,8,1");
    return core::Status::Ok;
  }

  line_ = std::make_unique<serial_line::TermiosSerialLine>(
      io_, serial_line::LineName{parameters.portNumber, parameters.devicePath});
  user_ = std::make_unique<serial_line::LineUser>(*line_);
  user_->SetQueueSizes(kTransmitQueueSize);
  if (line_->TakeErrorCode() != serial_line::kLineOk) {
    NoteLineProblem();
    CloseLine();
    error_ = kMessageUnableToOpen;
    return core::Status::Ok;
  }
  // The modem lines are read once, as the line library always does; nothing
  // depends on them (a null-modem cable may leave them floating).
  for (int bit : {serial_line::kBitCts, serial_line::kBitDsr, serial_line::kBitRing,
                  serial_line::kBitCarrier})
    line_->LineBit(bit, -1);

  settings_ = std::make_unique<serial_line::LineSettings>(*line_);
  const serial_line::LineParameters wanted{parameters.baud, parameters.parity, parameters.dataBits,
                                           parameters.stopBits};
  // A bare device name asks for no settings: the line keeps its opening ones.
  const bool asked = parameters.baud != 0 || parameters.parity != 0 || parameters.dataBits != 0 ||
                     parameters.stopBits != 0;
  if (asked && settings_->Set(wanted) != serial_line::kLineOk) {
    // A line at other settings than the package's would only garble the
    // transfer program: the open fails, saying what was asked and why not.
    const int code = line_->TakeErrorCode();
    std::string reason = line_->Name().Device() + ": line parameters " +
                         DescribeParameters(wanted) + " refused (" +
                         std::string(serial_line::LineErrorText(code)) + ")";
    if (code == serial_line::kGeneralFailure && !line_->Problem().reason.empty())
      reason += ": " + line_->Problem().reason;
    SetDiagnostics(std::move(reason),
                   "the adapter or its driver does not support these settings: use another "
                   "adapter, or a package for this line");
    CloseLine();
    error_ = kMessageUnableToOpen;
    return core::Status::Ok;
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
  if (user_ && line_ && line_->IsOpen()) {
    const auto deadline = Clock::now() + closeDrainTimeout_;
    while (user_->TransmitCount() > 0 && !line_->DeviceLost()) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) break;
      line_->WaitTransmitProgress(static_cast<int>(std::min<std::int64_t>(left.count(), 10)));
    }
    line_->FinishSending();
  }
  user_.reset();
  settings_.reset();
  line_.reset();
  open_ = false;
}

core::Status Port::BlockRead(std::uint8_t* pucBuffer, std::int32_t uiMaxSize, std::int32_t* lSize) {
  if (pucBuffer == nullptr || lSize == nullptr) return core::Status::Pointer;
  error_ = kMessageSuccess;
  std::int32_t count = 0;
  if (open_ && uiMaxSize > 0) {
    count = user_->BlockRead({pucBuffer, static_cast<std::size_t>(uiMaxSize)},
                             std::chrono::milliseconds(0));
    // A device that vanished would otherwise look like a silent instrument.
    if (line_->DeviceLost()) {
      error_ = kMessageUnableToOpen;
      NoteLineProblem();
    }
  }
  if (count <= 0) {
    count = 0;
    // Never touch a buffer the caller said has no room.
    if (uiMaxSize > 0) pucBuffer[0] = 0;
  } else {
    events_.Raise([&](IQX_PortEvents& l) { l.OnReceive(this, count); });
  }
  *lSize = count;
  return core::Status::Ok;
}

core::Status Port::BlockWrite(const std::uint8_t* pucBuffer, std::int32_t uiMaxSize,
                              std::int32_t* lSize) {
  if (pucBuffer == nullptr || lSize == nullptr) return core::Status::Pointer;
  error_ = kMessageSuccess;
  std::int32_t count = 0;
  if (open_ && uiMaxSize > 0) {
    count = user_->BlockWrite({pucBuffer, static_cast<std::size_t>(uiMaxSize)});
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
  if (!open_ || !line_ || !user_) return;
  serial_line::LineParameters p;
  if (line_->GetLineParameters(&p) != serial_line::kLineOk || p.baud <= 0) return;
  // A start bit, the data bits, a parity bit unless none, the stop bits.
  const std::int64_t bitsPerChar = 1 + p.dataBits + (p.parity == 'N' ? 0 : 1) + p.stopBits;
  const auto wireEnd = writeStart + std::chrono::microseconds(static_cast<std::int64_t>(bytes) *
                                                              bitsPerChar * 1000000 / p.baud);
  const auto deadline = std::max(Clock::now(), wireEnd) + drainLimit;
  while (user_->TransmitCount() > 0 && !line_->DeviceLost() && Clock::now() < deadline)
    line_->WaitTransmitProgress(10);
  if (Clock::now() < wireEnd) std::this_thread::sleep_until(wireEnd);
}

bool Port::WaitReadable(std::chrono::milliseconds timeout) {
  if (!open_) return false;
  const auto ms = std::clamp<std::int64_t>(timeout.count(), 0, 24 * 3600 * 1000);
  return line_->WaitReadable(static_cast<int>(ms));
}

bool Port::IsDeviceLost() const {
  return open_ && line_->DeviceLost();
}

}  // namespace serial
}  // namespace pelvane::ports
