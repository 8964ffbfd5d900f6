#include "core/status.h"

#include <cstdio>

namespace pelvane::core {

std::string StatusText(Status s) {
  switch (s) {
    case Status::Ok:
      return "success";
    case Status::NoInterface:
      return "no such interface";
    case Status::Pointer:
      return "invalid pointer";
    case Status::Fail:
      return "unspecified failure";
    case Status::OutOfMemory:
      return "out of memory";
    case Status::InvalidArg:
      return "invalid argument";
  }
  char text[32];
  std::snprintf(text, sizeof text, "status 0x%08X", static_cast<unsigned>(s));
  return text;
}

StatusError::StatusError(Status status, const std::string& what)
    : std::runtime_error(what + " (" + StatusText(status) + ")"), status_(status) {}

}  // namespace pelvane::core
