// The port components known by class id, and the binding of a port from an
// open string: "clsid:" + class id, blanks, then the port parameters.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "core/class_registry.h"
#include "ports/iqx_port.h"

namespace pelvane::ports {

using PortRegistry = core::ClassRegistry<IQX_Port>;

// The serial port, and the GPIB port when it is built.
const PortRegistry& DefaultPortRegistry();

struct OpenStringParts {
  std::string classIdPart;  // first token, e.g. "clsid:519498DF-CB5C-11D4-A40B-0050DAE004CA"
  std::string parameters;   // second token; empty when there is none
};

// Tokens are separated by blanks, tabs and line feeds; tokens after the
// second are ignored.
OpenStringParts SplitOpenString(std::string_view openString);

struct PortBinding {
  std::unique_ptr<IQX_Port> port;
  std::string parameters;
  bool blockMode = false;
};

// Splits an open string and creates the port named by its class id; no port
// when the class-id part is malformed or unknown. blockMode only for the
// class-id part of a block-mode port kind (GPIB) spelled exactly as in the
// port-kind table (ports/kind/port_kind.h).
PortBinding BindPort(std::string_view openString, const PortRegistry& registry);

}  // namespace pelvane::ports
