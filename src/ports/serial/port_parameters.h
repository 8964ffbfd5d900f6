// The serial port's parameter text, "COM1:115200,E,8,1": port, baud rate,
// parity letter, data bits, stop bits.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pelvane::ports::serial {

struct PortParameters {
  int portNumber = -1;  // the number at the end of the first field; -1 when none
  // A first field that starts with "/" (a device path) or "\\.\" (a Windows
  // device name), as it stands.
  std::string devicePath;
  std::int32_t baud = 0;
  char parity = 0;  // first character of the third field, upper-cased; 0 when empty
  int dataBits = 0;
  int stopBits = 0;

  // True when the first field names a port at all.
  bool NamesPort() const { return portNumber >= 0 || !devicePath.empty(); }
};

// Fields are separated by ":", ",", tab and line feed; empty fields between
// separators are skipped, missing fields count as empty, and a field without
// digits gives 0. A device path or name keeps its own colons: it runs to its
// last ":" that is followed by nothing but digits (a baud rate) before the
// first ",".
PortParameters ParsePortParameters(std::string_view text);

}  // namespace pelvane::ports::serial
