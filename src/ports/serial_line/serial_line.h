// The serial line under the serial port: one device, opened for exclusive use
// and configured once, read without waiting and written through a bounded
// transmit queue. Two back ends implement it side by side, termios
// (posix/) and the Win32 communications API (win32/); CMake builds the one of
// the platform, and CreateSerialLine() makes it.
//
// Threading: a line is used by one thread at a time; DeviceLost() may be
// asked from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace pelvane::ports::serial_line {

// How much a line queues for sending: a write accepts up to this many bytes
// less what is still queued, so that a whole frame or transfer program is
// handed over in one call.
inline constexpr std::size_t kTransmitQueueSize = 0x8000;

struct LineParameters {
  std::int32_t baud = 0;
  char parity = 'N';  // N, O, E, M or S
  int dataBits = 8;
  int stopBits = 1;
  friend bool operator==(const LineParameters&, const LineParameters&) = default;
};

// Which device a line opens: COMn (portNumber n), or a device name used as
// it stands (a path such as /dev/ttyUSB0, or \\.\COM5 on Windows).
struct LineName {
  int portNumber = -1;
  std::string devicePath;
};

enum class ProblemKind {
  kNone,
  kMissing,           // no such device: wrong name or adapter unplugged
  kPermissionDenied,  // the user may not open the device
  kBusy,              // held by another program (or another port of this one)
  kNotSerial,         // the device is not a serial port
  kVanished,          // the device went away while in use
  kRejected,          // the device refused a setting
  kOther,
};

// Whether the driver lowered its latency when the line asked for it
// (ASYNC_LOW_LATENCY on Linux): USB adapters otherwise hold each byte from the
// instrument for a few milliseconds, and the handshake pays that once per
// answer byte.
enum class LowLatency {
  kUnknown,  // not asked, or nothing to ask (a back end without the request)
  kKept,     // the driver holds it (it may have been on already)
  kRefused,  // the driver refused the request
  kIgnored,  // the request succeeded, but what was read back shows no effect
};

// What is known about the adapter behind a line, for diagnostics.
struct AdapterFacts {
  std::string driver;       // the kernel driver ("ftdi_sio", "cp210x"); empty when none
  int latencyTimerMs = -1;  // the adapter's latency timer (FTDI); -1 without one
  LowLatency lowLatency = LowLatency::kUnknown;
  bool Known() const {
    return !driver.empty() || latencyTimerMs >= 0 || lowLatency != LowLatency::kUnknown;
  }
};

// "driver ftdi_sio, low latency kept, latency timer 1 ms"; empty when nothing is known.
std::string DescribeAdapter(const AdapterFacts& facts);

// A failure of the device told so that a user can act on it.
struct SystemProblem {
  ProblemKind kind = ProblemKind::kNone;
  std::string reason;  // "<device>: <what failed>: <system text>"
  std::string hint;    // what the user can do; empty when nothing specific
};

class SerialLine {
 public:
  // Destroying an open line lets the last queued characters leave when the
  // queue has emptied (what is still queued is dropped), puts back the
  // settings found at open, drops DTR and RTS and closes the device.
  virtual ~SerialLine() = default;

  // Opens the device for this program alone and configures it once: raw
  // bytes, no flow control, DTR and RTS raised, and the wanted parameters, or
  // the device's present ones when none are wanted. False, with Problem()
  // telling why, when any of it fails.
  virtual bool Open(const LineName& name, const std::optional<LineParameters>& wanted) = 0;

  // Places what has come in, at most buffer.size() bytes; never waits.
  virtual std::size_t Read(std::span<std::uint8_t> buffer) = 0;
  // Queues bytes for sending and returns how many were accepted: at most
  // kTransmitQueueSize less what is still queued.
  virtual std::size_t Write(std::span<const std::uint8_t> bytes) = 0;
  // True once input is there or the device failed (then DeviceLost() is
  // true); false when `timeout` passed first. Sleeps meanwhile.
  virtual bool WaitReadable(std::chrono::milliseconds timeout) = 0;
  // Waits at most `limit` until everything queued has been handed to the
  // device (true); false when the time ran out or the device is lost.
  virtual bool WaitTransmitted(std::chrono::milliseconds limit) = 0;

  virtual bool DeviceLost() const = 0;
  // The parameters the line runs at (for the wire time of queued bytes).
  virtual LineParameters Parameters() const = 0;
  // Why the last Open failed, or why the device was lost.
  virtual const SystemProblem& Problem() const = 0;
  // What the open found out about the adapter (nothing on a back end that
  // cannot tell: the Win32 communications API has no low-latency request and
  // no way to read an adapter's latency timer).
  virtual AdapterFacts Adapter() const { return {}; }
};

// The line of this platform's back end.
std::unique_ptr<SerialLine> CreateSerialLine();

// "115200,E,8,1", for messages.
std::string DescribeParameters(const LineParameters& parameters);
// Why the line cannot run at `parameters` (an unknown parity letter, data
// bits outside fewestDataBits..8, stop bits other than 1 or 2, a rate not
// above 0); empty when they can be tried on the device.
std::string ParameterFault(const LineParameters& parameters, int fewestDataBits);
// Parameters that the line or the device refused, said so with `why`: a line
// at other settings than the package's would only garble what is sent.
SystemProblem RefusedParameters(std::string_view device, const LineParameters& parameters,
                                std::string_view why);
inline constexpr std::string_view kRefusedParametersHint =
    "the adapter or its driver does not support these settings: use another adapter, or a "
    "package for this line";

}  // namespace pelvane::ports::serial_line
