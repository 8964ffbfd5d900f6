// libFuzzer target: configuration loading, the input as QXCONFIG.INI (see docs/reliability.md).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "package_fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!pelvane::package::fuzz::FuzzConfiguration({data, size})) std::abort();
  return 0;
}
