// What names a device differs between the platforms: on Linux a path that
// starts with "/" ("COM3" is the port /dev/ttyS2), on Windows "COMn" itself
// and a path that starts with "\\.\". The one seam for it; the rest of the
// program asks here instead of testing names or the platform.
#pragma once

#include <string>
#include <string_view>

namespace pelvane::ports {

// True when the name, exactly as given (no blanks around it), names a device
// by itself: "/dev/ttyUSB0" on Linux; "COM7", "com7" and "\\.\COM10" on
// Windows.
bool IsDevicePath(std::string_view name);

// The device a serial port name opens: "COM3" is /dev/ttyS2 on Linux and
// \\.\COM3 on Windows; a device path is itself; empty for anything else
// (GPIB).
std::string DeviceOfPort(std::string_view port);

// The name as the port lists hold it: upper case ("com1" is COM1), except a
// Linux device path, whose letters matter. Blanks are kept.
std::string CanonicalPortName(std::string_view name);

// True when the name is a device path and its device is there now; the device
// is not opened (opening a serial port can reset an instrument).
bool DevicePresent(std::string_view name);

// The GPIB driver this system's port loads, as advice names it: linux-gpib on
// Linux, NI-488.2 on Windows.
std::string_view GpibDriverName();

// How to set the latency timer of the USB adapter behind `device`
// ("/dev/ttyUSB0", "COM5") to 1 ms on this system.
std::string LatencyTimerAdvice(std::string_view device);

}  // namespace pelvane::ports
