// The one rule that tells what a port name opens. Every place that decides
// between serial and GPIB asks it: the open string, the speed check, the
// connection text, the package check and the command-line runner.
#pragma once

#include <string_view>

namespace pelvane::package {

// Blanks around the name do not count. Serial when the name contains "COM"
// (any case) or is a device path (begins with "/"); GPIB when it contains
// "GPIB" (any case); anything else opens the default serial line
// "COM1:115200,E,8,1".
enum class PortKind { Serial, Gpib, Default };
PortKind KindOfPort(std::string_view portName);

// Serial or the default serial line: everything but GPIB.
bool IsSerialPort(std::string_view portName);

}  // namespace pelvane::package
