#include <windows.h>

#include <cctype>
#include <string>

#include "core/text.h"
#include "core/utf16.h"
#include "ports/kind/device_name.h"

namespace pelvane::ports {

namespace {

constexpr std::string_view kDevicePrefix = R"(\\.\)";

// "COM1" to "COM9999" in any case; no leading zero, which Windows does not
// accept in a port name.
bool IsComName(std::string_view name) {
  if (name.size() < 4 || name.size() > 7 || core::ToUpper(name.substr(0, 3)) != "COM") return false;
  if (name[3] == '0') return false;
  for (const char c : name.substr(3))
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

}  // namespace

bool IsDevicePath(std::string_view name) {
  return IsComName(name) || (name.size() > kDevicePrefix.size() && name.starts_with(kDevicePrefix));
}

std::string DeviceOfPort(std::string_view port) {
  // COM10 and above open only through the device namespace, and the lower
  // ones the same way, so that every port is named alike.
  if (IsComName(port)) return std::string(kDevicePrefix) + core::ToUpper(port);
  return IsDevicePath(port) ? std::string(port) : std::string();
}

std::string CanonicalPortName(std::string_view name) {
  // Windows' device names have no case.
  return core::ToUpper(name);
}

bool DevicePresent(std::string_view name) {
  if (!IsDevicePath(name)) return false;
  // The port's name in the device namespace ("COM7"), asked of the object
  // manager: it tells whether the device exists without opening it.
  const std::string device = DeviceOfPort(name).substr(kDevicePrefix.size());
  wchar_t target[1024];
  return QueryDosDeviceW(core::Utf16FromUtf8(device).c_str(), target, 1024) != 0;
}

std::string_view GpibDriverName() {
  return "NI-488.2 (GPIB-32.DLL or ni4882.dll)";
}

std::string LatencyTimerAdvice(std::string_view device) {
  std::string port(device);
  if (port.starts_with(kDevicePrefix)) port.erase(0, kDevicePrefix.size());
  return "in Device Manager open Ports (COM & LPT), " + core::ToUpper(port) +
         ", Port Settings, Advanced, and set Latency Timer (msec) to 1";
}

}  // namespace pelvane::ports
