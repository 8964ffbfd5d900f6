#include <cerrno>
#include <cstring>

#include "core/system_error.h"

namespace pelvane::core {

std::uint32_t LastSystemError() {
  return static_cast<std::uint32_t>(errno);
}

std::string SystemErrorText(std::uint32_t code) {
  return std::strerror(static_cast<int>(code));
}

}  // namespace pelvane::core
