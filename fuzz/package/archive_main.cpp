// libFuzzer target: archive access, the input as the package file (see docs/reliability.md).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "package_fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!pelvane::package::fuzz::FuzzArchive({data, size})) std::abort();
  return 0;
}
