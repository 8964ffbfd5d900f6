#include <cctype>
#include <filesystem>
#include <system_error>

#include "core/files.h"
#include "core/text.h"
#include "ports/kind/device_name.h"

namespace pelvane::ports {

bool IsDevicePath(std::string_view name) {
  return !name.empty() && name.front() == '/';
}

std::string DeviceOfPort(std::string_view port) {
  if (IsDevicePath(port)) return std::string(port);
  // The serial port's own rule: COMn is the n-th UART, /dev/ttyS{n-1}.
  if (port.size() < 4 || port.substr(0, 3) != "COM") return "";
  int number = 0;
  for (const char c : port.substr(3)) {
    if (!std::isdigit(static_cast<unsigned char>(c)) || number > 1000) return "";
    number = number * 10 + (c - '0');
  }
  return number >= 1 ? "/dev/ttyS" + std::to_string(number - 1) : "";
}

std::string CanonicalPortName(std::string_view name) {
  // /dev/ttyUSB0 opens, /DEV/TTYUSB0 never would.
  return IsDevicePath(name) ? std::string(name) : core::ToUpper(name);
}

bool DevicePresent(std::string_view name) {
  std::error_code ec;
  return IsDevicePath(name) && std::filesystem::exists(name, ec);
}

std::string_view GpibDriverName() {
  return "linux-gpib (libgpib.so.0)";
}

std::string LatencyTimerAdvice(std::string_view device) {
  // sysfs names the tty, not a link to it (/dev/serial/by-id/...).
  std::error_code ec;
  std::string tty =
      core::Utf8FromPath(std::filesystem::canonical(core::PathFromUtf8(device), ec).filename());
  if (ec || !tty.starts_with("tty")) tty = "ttyUSB0";
  return "echo 1 | sudo tee /sys/class/tty/" + tty +
         "/device/latency_timer (until the adapter is plugged in again; the udev rule in "
         "/usr/share/pelvane/udev keeps it)";
}

}  // namespace pelvane::ports
