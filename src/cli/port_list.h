// What `pelvane-cli --list-ports` prints: the serial devices a technician may
// pass to --port, with what identifies the adapter and whether it may be opened.
#pragma once

#include <ostream>

#include "ports/devices/serial_devices.h"

namespace pelvane::cli {

// As text, one device a line and its details indented under it, names with
// their control characters escaped; or, with `json`, as one JSON object on one
// line: {"devices":[{"path":...,"description":...,"stablePath":...,"usbId":...,
// "serialNumber":...,"accessHint":...,"driver":...,"latencyTimer":16}],
// "described":true} (every field, empty when unknown, "latencyTimer" null
// without one), and "undescribedReason" when `described` is false.
void PrintPortList(std::ostream& out, const ports::SerialDeviceList& list, bool json = false);

}  // namespace pelvane::cli
