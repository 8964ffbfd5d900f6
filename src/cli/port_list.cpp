#include "cli/port_list.h"

#include <nlohmann/json.hpp>
#include <string>

namespace pelvane::cli {

namespace {

using ports::PrintableText;

// "FTDI FT232R USB UART (0403:6001, serial A1234)"
std::string Identity(const ports::SerialDevice& device) {
  std::string details = device.usbId;
  if (!device.serialNumber.empty())
    details += (details.empty() ? "serial " : ", serial ") + device.serialNumber;
  if (details.empty()) return device.description;
  return device.description.empty() ? "(" + details + ")"
                                    : device.description + " (" + details + ")";
}

void PrintJson(std::ostream& out, const ports::SerialDeviceList& list) {
  using Json = nlohmann::ordered_json;
  Json devices = Json::array();
  for (const ports::SerialDevice& device : list.devices) {
    devices.push_back({{"path", device.path},
                       {"description", device.description},
                       {"stablePath", device.stablePath},
                       {"usbId", device.usbId},
                       {"serialNumber", device.serialNumber},
                       {"accessHint", device.accessHint}});
  }
  Json object{{"devices", std::move(devices)}, {"described", list.undescribedReason.empty()}};
  if (!list.undescribedReason.empty()) object["undescribedReason"] = list.undescribedReason;
  // JSON escapes control characters itself; bytes that are not UTF-8 become
  // U+FFFD rather than ending the output half-way.
  out << object.dump(-1, ' ', false, Json::error_handler_t::replace) << "\n";
}

}  // namespace

void PrintPortList(std::ostream& out, const ports::SerialDeviceList& list, bool json) {
  if (json) {
    PrintJson(out, list);
    return;
  }
  if (list.devices.empty()) out << "No serial devices found.\n";
  for (const ports::SerialDevice& device : list.devices) {
    const std::string identity = PrintableText(Identity(device));
    out << PrintableText(device.path) << (identity.empty() ? "" : "  " + identity) << "\n";
    if (!device.stablePath.empty()) out << "    " << PrintableText(device.stablePath) << "\n";
    if (!device.accessHint.empty())
      out << "    You may not open it yet: " << PrintableText(device.accessHint) << ".\n";
  }
  if (!list.undescribedReason.empty())
    out << "Device descriptions are unavailable: " << list.undescribedReason << ".\n";
}

}  // namespace pelvane::cli
