// What a port can tell a user beyond its last-error code: the system's own
// reason for a failure and what to do about it. Offered beside IQX_Port
// (found with dynamic_cast) by ports that talk to an operating-system device.
#pragma once

#include <string>

namespace pelvane::ports {

class IQX_PortDiagnostics {
 public:
  virtual ~IQX_PortDiagnostics() = default;
  // The system's account of the last failed Open, of a setting the device
  // refused, or of a device that went away; empty when there is none.
  // Example: "/dev/ttyUSB0: open: Permission denied".
  virtual std::string GetSystemReason() const = 0;
  // What the user can do about it; empty when nothing specific applies.
  virtual std::string GetHint() const = 0;
  // True once the device reported a hang-up or an I/O error since it was
  // opened (an unplugged adapter, a closed pseudo-terminal).
  virtual bool IsDeviceLost() const = 0;
  // What the last Open found out about the adapter, for the run's trace:
  // "driver ftdi_sio, low latency kept, latency timer 1 ms"; empty when
  // nothing is known.
  virtual std::string GetAdapterReport() const { return {}; }
};

}  // namespace pelvane::ports
