#include "package/port_kind.h"

#include <string>

#include "package/item_parsing.h"

namespace pelvane::package {

PortKind KindOfPort(std::string_view portName) {
  // Names come from hand-edited packages and command lines; a stray blank
  // must not turn " /dev/ttyUSB0" into the default COM1.
  const std::string name = ToUpper(Trim(portName));
  if (name.find("COM") != std::string::npos || (!name.empty() && name.front() == '/'))
    return PortKind::Serial;
  if (name.find("GPIB") != std::string::npos) return PortKind::Gpib;
  return PortKind::Default;
}

bool IsSerialPort(std::string_view portName) {
  return KindOfPort(portName) != PortKind::Gpib;
}

}  // namespace pelvane::package
