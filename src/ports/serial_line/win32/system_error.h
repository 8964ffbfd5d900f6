// The one place where a Win32 error code of a serial device becomes a problem
// a user can act on.
#pragma once

#include <string_view>

#include "ports/serial_line/serial_line.h"

namespace pelvane::ports::serial_line {

// The steps a failure is named by; "open" also covers reading the device's
// settings, "transfer" every read, write and wait afterwards.
inline constexpr std::string_view kStepOpen = "open";
inline constexpr std::string_view kStepTransfer = "transfer";

// `error` is a GetLastError() code; `what` names the step that failed. A
// failure of kind kVanished means the device is gone for good.
SystemProblem DescribeSystemError(unsigned long error, std::string_view device,
                                  std::string_view what);

}  // namespace pelvane::ports::serial_line
