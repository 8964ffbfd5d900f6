// libFuzzer target for response decoding. Build with clang:
//   cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang
//   -DPELVANE_FUZZ=ON build-fuzz/bin/app_response_fuzzer fuzz/app/corpus
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "response_fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!pelvane::app::fuzz::FuzzResponse({data, size})) std::abort();
  return 0;
}
