// The flash memories a firmware package describes, so that the simulator can
// stand in for the instrument the package was made for.
#pragma once

#include <string>
#include <vector>

#include "sim/options.h"

namespace pelvane::sim {

// The [TARGET] MEMORY, MEMORY1, ... entries of the package's QXCONFIG.INI, in
// order. Throws std::runtime_error naming the file, key or value at fault.
std::vector<MemorySpec> MemoriesFromPackage(const std::string& path);

// The same from the text of a configuration file (`origin` names it in errors).
std::vector<MemorySpec> MemoriesFromConfiguration(const std::string& text,
                                                  const std::string& origin);

}  // namespace pelvane::sim
