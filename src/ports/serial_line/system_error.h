// The one place where an errno value of the serial device becomes a library
// code and a text that a user can act on.
#pragma once

#include <string>
#include <string_view>

namespace pelvane::ports::serial_line {

enum class ProblemKind {
  kNone,
  kMissing,           // no such device: wrong name or adapter unplugged
  kPermissionDenied,  // the user may not open the device
  kBusy,              // held by another process (or another port of this one)
  kNotSerial,         // the file is not a terminal device
  kVanished,          // the device went away while in use
  kRejected,          // the device refused a setting
  kOther,
};

struct SystemProblem {
  int lineCode = 0;  // the library code the failure becomes (-801)
  ProblemKind kind = ProblemKind::kNone;
  std::string reason;  // "<device>: <what failed>: <system text>"
  std::string hint;    // what the user can do; empty when nothing specific
};

// `what` names the step that failed ("open", "set line parameters", ...).
SystemProblem DescribeSystemError(int errnum, std::string_view device, std::string_view what);

}  // namespace pelvane::ports::serial_line
