// The system's own words for the error codes of its calls: errno values on
// POSIX systems, GetLastError values on Windows. Every message that carries
// a system failure takes its text from here.
#pragma once

#include <cstdint>
#include <string>

namespace pelvane::core {

// The code the last failed system call of this thread left.
std::uint32_t LastSystemError();

// One line, without a final full stop or line break: "Access is denied".
std::string SystemErrorText(std::uint32_t code);

}  // namespace pelvane::core
