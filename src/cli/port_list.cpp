#include "cli/port_list.h"

#include <nlohmann/json.hpp>
#include <string>

#include "ports/kind/device_name.h"

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

// "driver ftdi_sio, latency timer 16 ms: ...", or empty when neither is known.
std::string AdapterLine(const ports::SerialDevice& device) {
  std::string line = device.driver.empty() ? "" : "driver " + device.driver;
  if (device.latencyTimerMs < 0) return line;
  line += (line.empty() ? "" : ", ") + std::string("latency timer ") +
          std::to_string(device.latencyTimerMs) + " ms";
  // The host acknowledges every answer byte, so each one waits that long.
  if (device.latencyTimerMs > 1)
    line += ": each answer byte waits that long; set it to 1 ms: " +
            ports::LatencyTimerAdvice(device.path);
  return line;
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
                       {"accessHint", device.accessHint},
                       {"driver", device.driver},
                       {"latencyTimer",
                        device.latencyTimerMs < 0 ? Json(nullptr) : Json(device.latencyTimerMs)}});
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
    if (const std::string adapter = AdapterLine(device); !adapter.empty())
      out << "    " << PrintableText(adapter) << "\n";
    if (!device.accessHint.empty())
      out << "    You may not open it yet: " << PrintableText(device.accessHint) << ".\n";
  }
  if (!list.undescribedReason.empty())
    out << "Device descriptions are unavailable: " << list.undescribedReason << ".\n";
}

}  // namespace pelvane::cli
