// What the layers under the application object know about a failed link,
// offered beside their fixed interfaces (found with dynamic_cast): the
// port's own reason and advice, and whether the device went away. The upload
// controller takes its messages and hints from here instead of guessing.
#pragma once

#include <string>

namespace pelvane::core {

struct LinkDiagnosis {
  std::string reason;       // "/dev/ttyUSB0: open: Permission denied"; empty when none
  std::string hint;         // what the user can do; empty when nothing specific
  bool deviceLost = false;  // an unplugged adapter, a closed pseudo-terminal
};

class IQX_LinkDiagnostics {
 public:
  virtual ~IQX_LinkDiagnostics() = default;
  virtual LinkDiagnosis DiagnoseLink() const = 0;
};

}  // namespace pelvane::core
