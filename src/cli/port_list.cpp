#include "cli/port_list.h"

#include <string>

namespace pelvane::cli {

namespace {

// "FTDI FT232R USB UART (0403:6001, serial A1234)"
std::string Identity(const ports::SerialDevice& device) {
  std::string details = device.usbId;
  if (!device.serialNumber.empty())
    details += (details.empty() ? "serial " : ", serial ") + device.serialNumber;
  if (details.empty()) return device.description;
  return device.description.empty() ? "(" + details + ")"
                                    : device.description + " (" + details + ")";
}

}  // namespace

void PrintPortList(std::ostream& out, const ports::SerialDeviceList& list) {
  if (list.devices.empty()) out << "No serial devices found.\n";
  for (const ports::SerialDevice& device : list.devices) {
    const std::string identity = Identity(device);
    out << device.path << (identity.empty() ? "" : "  " + identity) << "\n";
    if (!device.stablePath.empty()) out << "    " << device.stablePath << "\n";
    if (!device.accessHint.empty())
      out << "    You may not open it yet: " << device.accessHint << ".\n";
  }
  if (!list.described)
    out << "Device descriptions are unavailable: udev does not run on this machine.\n";
}

}  // namespace pelvane::cli
