#include "ports/registry/port_registry.h"
#include "session/session.h"

namespace pelvane::session {

std::unique_ptr<IQX_Session> CreateSession() {
  return std::make_unique<Session>(ports::DefaultPortRegistry());
}

}  // namespace pelvane::session
