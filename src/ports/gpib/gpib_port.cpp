#include "ports/gpib/gpib_port.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

#include "core/event_source.h"
#include "ports/gpib/gpib_binding.h"
#include "ports/gpib/gpib_messages.h"
#include "ports/gpib/gpib_transfer.h"
#include "ports/port_diagnostics.h"

namespace pelvane::ports {

namespace {

using core::Status;
using gpib::GpibBinding;

// What the driver's error number says about a refused device.
std::string DriverRefusal(int iberr, long ibcntl) {
  switch (iberr) {
    case gpib::kEdvr:
      return "system error " + std::to_string(ibcntl);
    case gpib::kEneb:
      return "no GPIB board 0";
    case gpib::kEarg:
      return "invalid device settings";
    default:
      return "driver error " + std::to_string(iberr);
  }
}

// The driver files a user can install, as "a or b".
std::string PlatformLibraries() {
  std::string names;
  for (const char* name : gpib::PlatformDriverNames().libraries) {
    if (!names.empty()) names += " or ";
    names += name;
  }
  return names;
}

// Also IQX_PortDiagnostics, so that a failed open names its real cause: the
// loader's text for a missing driver, the driver's error for a refused device.
class GpibPort final : public IQX_Port, public IQX_PortDiagnostics {
 public:
  GpibPort(GpibBinding& binding, const gpib::DeviceSettings& settings)
      : binding_(binding), settings_(settings) {}

  // Releases the descriptor of a port that nobody closed, so that the board's
  // descriptor table does not fill up over many sessions.
  ~GpibPort() override {
    if (state_ == State::Open) CloseDevice();
  }

  GpibPort(const GpibPort&) = delete;
  GpibPort& operator=(const GpibPort&) = delete;

  Status Close(bool* pbCloseFlag) override {
    if (pbCloseFlag == nullptr) return Status::Pointer;
    error_ = 0;
    if (state_ != State::Open) {
      *pbCloseFlag = false;
      return Status::Ok;
    }
    CloseDevice();
    *pbCloseFlag = true;
    return Status::Ok;
  }

  Status Open(const std::string& /*openParameters: one fixed device*/, bool* pbOpenFlag) override {
    if (pbOpenFlag == nullptr) return Status::Pointer;
    error_ = 0;
    if (state_ != State::Closed) {
      error_ = gpib::kMsgAlreadyOpen;
      *pbOpenFlag = false;
      return Status::Ok;
    }
    const int ud =
        binding_.ibdev(settings_.board, settings_.primaryAddress, settings_.secondaryAddress,
                       settings_.openTimeout, settings_.sendEoi, settings_.eosMode);
    // A driver that returns no descriptor without raising ERR must not leave
    // the port "open" on descriptor -1.
    if ((binding_.ibsta() & gpib::kErr) != 0 || ud < 0) {
      error_ = gpib::kMsgUnableToOpen;
      ExplainFailedOpen();
      *pbOpenFlag = false;
      return Status::Ok;
    }
    SetDiagnostics({}, {});
    descriptor_ = ud;
    // Interface clear puts the bus into a known state after an earlier program
    // left it mid-transfer; drivers that refuse it on a device descriptor do no
    // harm, so its result is not examined.
    binding_.ibsic(descriptor_);
    state_ = State::Open;
    *pbOpenFlag = true;
    return Status::Ok;
  }

  Status BlockRead(std::uint8_t* pucBuffer, std::int32_t uiMaxSize, std::int32_t* lSize) override {
    if (pucBuffer == nullptr || lSize == nullptr) return Status::Pointer;
    error_ = 0;
    const gpib::TransferResult result =
        Transfer(uiMaxSize, [&] { return binding_.ibrd(descriptor_, pucBuffer, uiMaxSize); });
    // With no room at all, even the zero marker would land outside the buffer.
    if (result.count <= 0) {
      if (uiMaxSize > 0) pucBuffer[0] = 0;
    } else {
      events_.Raise([this](IQX_PortEvents& l) { l.OnReceive(this, 0); });
    }
    *lSize = result.count;
    return Status::Ok;
  }

  Status BlockWrite(const std::uint8_t* pucBuffer, std::int32_t uiMaxSize,
                    std::int32_t* lSize) override {
    if (pucBuffer == nullptr || lSize == nullptr) return Status::Pointer;
    error_ = 0;
    const gpib::TransferResult result =
        Transfer(uiMaxSize, [&] { return binding_.ibwrt(descriptor_, pucBuffer, uiMaxSize); });
    // A write that the driver refused outright (no listener, driver failure)
    // must not look like a sent block: the session tells a sent frame or
    // upload only from the last error, so the short write is reported.
    if (!result.timedOut && uiMaxSize > 0 && result.count < uiMaxSize)
      error_ = gpib::kMsgShortWrite;
    if (result.count > 0) events_.Raise([this](IQX_PortEvents& l) { l.OnSend(this, 0); });
    *lSize = result.count;
    return Status::Ok;
  }

  Status GetLastErrorString(std::string* lastError) override {
    if (lastError == nullptr) return Status::Pointer;
    const int number = error_ == 0 ? gpib::kMsgSuccess : error_;
    const std::string text(gpib::MessageText(number));
    char line[160];
    std::snprintf(line, sizeof line, "%s ibsta = 0x%04X", text.c_str(),
                  static_cast<unsigned>(binding_.ibsta()) & 0xFFFFu);
    *lastError = line;
    return Status::Ok;
  }

  Status GetLastError(std::int16_t* piLastError) override {
    if (piLastError == nullptr) return Status::Pointer;
    *piLastError = error_;
    return Status::Ok;
  }

  Status Advise(IQX_PortEvents* listener, core::Cookie* cookie) override {
    return events_.Advise(listener, cookie);
  }
  Status Unadvise(core::Cookie cookie) override { return events_.Unadvise(cookie); }

  std::string GetSystemReason() const override {
    std::lock_guard lock(diagnosticsMutex_);
    return reason_;
  }
  std::string GetHint() const override {
    std::lock_guard lock(diagnosticsMutex_);
    return hint_;
  }
  // The bus has no hang-up: a switched-off instrument shows as time-outs.
  bool IsDeviceLost() const override { return false; }

 private:
  enum class State { Closed = 2, Open = 4 };

  // Sets the transfer time-out, runs the driver call and turns its outcome into
  // a count. A closed port has no descriptor (a released one may already belong
  // to someone else) and an empty request has nothing to move: neither reaches
  // the driver, and both count 0.
  template <class DriverCall>
  gpib::TransferResult Transfer(std::int32_t requested, DriverCall call) {
    if (state_ != State::Open || requested <= 0) return {};
    binding_.ibtmo(descriptor_, settings_.transferTimeout);
    const int status = call();
    gpib::TransferResult result =
        gpib::EvaluateTransfer(status, binding_.iberr(), binding_.ibcntl(), requested);
    if (result.timedOut) error_ = gpib::kMsgWriteTimeout;
    return result;
  }

  void ExplainFailedOpen() {
    const std::string loadError = binding_.loadError();
    const std::string what = "the GPIB interface could not be opened: ";
    if (!loadError.empty()) {
      SetDiagnostics(loadError, what + "install the GPIB driver (" + PlatformLibraries() +
                                    ") or name its file in " + gpib::kLibraryVariable);
    } else {
      SetDiagnostics("GPIB board " + std::to_string(settings_.board) + ", address " +
                         std::to_string(settings_.primaryAddress) + ": " +
                         DriverRefusal(binding_.iberr(), binding_.ibcntl()),
                     what + "check that it is installed and configured as board 0 (" +
                         gpib::kLibraryVariable + " may name another driver library)");
    }
  }

  void SetDiagnostics(std::string reason, std::string hint) {
    std::lock_guard lock(diagnosticsMutex_);
    reason_ = std::move(reason);
    hint_ = std::move(hint);
  }

  // Drains a byte the device may still hold, then gives the descriptor back.
  // Closing always succeeds.
  void CloseDevice() {
    binding_.ibtmo(descriptor_, settings_.closeTimeout);
    std::uint8_t pending = 0;
    binding_.ibrd(descriptor_, &pending, 1);
    binding_.ibonl(descriptor_, 0);
    descriptor_ = -1;
    state_ = State::Closed;
  }

  GpibBinding& binding_;
  const gpib::DeviceSettings settings_;
  int descriptor_ = -1;
  State state_ = State::Closed;
  std::int16_t error_ = 0;
  core::EventSource<IQX_PortEvents> events_;
  // Read by the session on the thread that met a failure.
  mutable std::mutex diagnosticsMutex_;
  std::string reason_;  // guarded by diagnosticsMutex_
  std::string hint_;    // guarded by diagnosticsMutex_
};

}  // namespace

std::unique_ptr<IQX_Port> CreateGpibPort() {
  return CreateGpibPort(GpibBinding::Process());
}

std::unique_ptr<IQX_Port> CreateGpibPort(GpibBinding& binding,
                                         const gpib::DeviceSettings& settings) {
  return std::make_unique<GpibPort>(binding, settings);
}

}  // namespace pelvane::ports
