// One entry point for fuzzing the decoding of responses: the libFuzzer target
// and the test suite's runner both feed inputs through it.
#pragma once

#include <cstdint>
#include <span>

namespace pelvane::app::fuzz {

// Feeds `data` through the pure decoder, the presentation layer and a whole
// FlashApp (as a received frame body, and once more with a valid checksum
// appended so that the decoding behind the checksum is reached). Returns
// false when an invariant breaks: a decoded field reaching past the input, a
// response accepted that is shorter than its fields, or a getter delivering
// data that did not arrive. Memory faults are for the sanitizers to catch.
bool FuzzResponse(std::span<const std::uint8_t> data);

}  // namespace pelvane::app::fuzz
