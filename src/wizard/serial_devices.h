// Serial devices of this machine offered in the port list beside the ports a
// package names: USB serial adapters and CDC-ACM instruments come and go, and
// their device paths (/dev/ttyUSB0) are what a technician recognises.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace pelvane::wizard {

struct SerialDevice {
  std::string path;         // "/dev/ttyUSB0"
  std::string description;  // "FTDI FT232R USB UART A1234", empty when unknown
};

// The ttyUSB* and ttyACM* devices under `devDir`, and every device that a link
// in `devDir`/serial/by-id points to, in natural order (ttyUSB2 before
// ttyUSB10). Descriptions come from the by-id link names. A missing or
// unreadable folder gives no devices, never an error.
std::vector<SerialDevice> FindSerialDevices(const std::filesystem::path& devDir = "/dev");

// "usb-FTDI_FT232R_USB_UART_A1234-if00-port0" -> "FTDI FT232R USB UART A1234".
std::string DescribeByIdName(const std::string& linkName);

}  // namespace pelvane::wizard
