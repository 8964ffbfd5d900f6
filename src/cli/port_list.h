// What `pelvane-cli --list-ports` prints: the serial devices a technician may
// pass to --port, with what identifies the adapter and whether it may be opened.
#pragma once

#include <ostream>

#include "ports/serial_devices.h"

namespace pelvane::cli {

void PrintPortList(std::ostream& out, const ports::SerialDeviceList& list);

}  // namespace pelvane::cli
