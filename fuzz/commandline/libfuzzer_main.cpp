// libFuzzer target: the legacy and GNU command lines (see docs/reliability.md).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "command_line_fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!pelvane::commandline::fuzz::FuzzCommandLine({data, size})) std::abort();
  return 0;
}
