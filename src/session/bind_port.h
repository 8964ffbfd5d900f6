// Interim binding of a port from an open string, used until the ports layer
// offers its own. Internal to the session component.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "core/class_registry.h"
#include "ports/iqx_port.h"

namespace pelvane::session::detail {

struct PortBinding {
  std::unique_ptr<ports::IQX_Port> port;
  std::string parameters;
  bool blockMode = false;
};

PortBinding BindPort(std::string_view openString,
                     const core::ClassRegistry<ports::IQX_Port>& registry);

}  // namespace pelvane::session::detail
