// libFuzzer target: the session's receive path through a scripted port
// (see docs/reliability.md).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "session_fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!pelvane::session::fuzz::FuzzSessionReceive({data, size})) std::abort();
  return 0;
}
