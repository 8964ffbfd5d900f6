#include "ports/kind/port_kind.h"

#include <array>

#include "core/class_ids.h"
#include "core/text.h"
#include "ports/kind/device_name.h"

namespace pelvane::ports {

namespace {

constexpr std::string_view kNamedLine = "{port}:{baud},E,8,1";
// The serial line opened for a name that says neither serial nor GPIB.
constexpr std::string_view kDefaultLine = "COM1:115200,E,8,1";
constexpr std::string_view kDefaultPort = kDefaultLine.substr(0, kDefaultLine.find(':'));

constexpr std::array<PortKindInfo, 4> kKinds = {{
    {PortKind::DevicePath, core::clsid::kSerialPort, kNamedLine, true, false, false, "number 5"},
    {PortKind::SerialName, core::clsid::kSerialPort, kNamedLine, true, false, false, "number 5"},
    {PortKind::Gpib, core::clsid::kGpibPort, "GPIB0", false, true, true, "number 6"},
    // The default line always runs at 115200, whatever the package says.
    {PortKind::Default, core::clsid::kSerialPort, kDefaultLine, false, false, false, "number 5"},
}};

constexpr bool RowsFollowTheEnum() {
  for (std::size_t i = 0; i < kKinds.size(); ++i)
    if (static_cast<std::size_t>(kKinds[i].kind) != i) return false;
  return true;
}
static_assert(RowsFollowTheEnum(), "one row per kind, in the order of the enum");

void ReplaceFirst(std::string& text, std::string_view mark, std::string_view value) {
  if (const auto at = text.find(mark); at != std::string::npos)
    text.replace(at, mark.size(), value);
}

}  // namespace

std::span<const PortKindInfo> PortKinds() {
  return kKinds;
}

PortKind KindOfPort(std::string_view portName) {
  // Names come from hand-edited packages and command lines; a stray blank
  // must not turn " /dev/ttyUSB0" into the default COM1.
  const std::string name = core::Trim(portName);
  if (IsDevicePath(name)) return PortKind::DevicePath;
  const std::string upper = core::ToUpper(name);
  if (upper.find("COM") != std::string::npos) return PortKind::SerialName;
  if (upper.find("GPIB") != std::string::npos) return PortKind::Gpib;
  return PortKind::Default;
}

const PortKindInfo& InfoOf(PortKind kind) {
  const auto index = static_cast<std::size_t>(kind);
  return index < kKinds.size() ? kKinds[index] : kKinds.back();
}

const PortKindInfo& InfoOfPort(std::string_view portName) {
  return InfoOf(KindOfPort(portName));
}

bool IsSerialPort(std::string_view portName) {
  return !InfoOfPort(portName).gpibBus;
}

std::string DeviceBehindName(std::string_view portName) {
  const std::string name = core::Trim(portName);
  switch (KindOfPort(name)) {
    case PortKind::SerialName:
      return DeviceOfPort(CanonicalPortName(name));
    case PortKind::Default:
      return DeviceOfPort(kDefaultPort);
    default:
      return {};
  }
}

std::string OpenString(std::string_view portName, std::int32_t baudRate) {
  const PortKindInfo& info = InfoOfPort(portName);
  std::string parameters(info.parameters);
  ReplaceFirst(parameters, "{port}", core::Trim(portName));
  ReplaceFirst(parameters, "{baud}", std::to_string(baudRate));
  return "clsid:" + std::string(info.classId) + " " + parameters;
}

}  // namespace pelvane::ports
