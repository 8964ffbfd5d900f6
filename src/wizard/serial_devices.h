// Serial devices of this machine offered in the port list beside the ports a
// package names: USB serial adapters and CDC-ACM instruments come and go, and
// their device paths (/dev/ttyUSB0) are what a technician recognises.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace pelvane::wizard {

struct SerialDevice {
  std::string path;         // "/dev/ttyUSB0"
  std::string description;  // "FTDI FT232R USB UART A1234", empty when unknown
  // What the user must do before this device can be opened, on a fresh machine
  // usually joining the 'dialout' group; empty when the user may use it.
  std::string accessHint;
};

// 0 when this process may read and write the device, else the errno of the refusal.
using DeviceAccessCheck = std::function<int(const std::string& path)>;
int SystemDeviceAccess(const std::string& path);

// The ttyUSB* and ttyACM* devices under `devDir`, and every device that a link
// in `devDir`/serial/by-id points to, in natural order (ttyUSB2 before
// ttyUSB10). Descriptions come from the by-id link names; `mayUse` decides the
// access hints. A missing or unreadable folder gives no devices, never an error.
std::vector<SerialDevice> FindSerialDevices(const std::filesystem::path& devDir = "/dev",
                                            const DeviceAccessCheck& mayUse = SystemDeviceAccess);

// The text shown under the port list for a device: its description and, when
// the user may not open it yet, what to do about it.
std::string PortNote(const SerialDevice& device);

// "usb-FTDI_FT232R_USB_UART_A1234-if00-port0" -> "FTDI FT232R USB UART A1234".
std::string DescribeByIdName(const std::string& linkName);

}  // namespace pelvane::wizard
