// Fuzz entry for the program's command line. The first input byte picks the
// form: even = legacy "/SWITCH" text, odd = an argument list (arguments split
// at NUL bytes; bit 1 puts "--" in front of the first one so the GNU parser
// takes it). Returns false when an invariant breaks.
#pragma once

#include <cstdint>
#include <span>

namespace pelvane::commandline::fuzz {

bool FuzzCommandLine(std::span<const std::uint8_t> data);

}  // namespace pelvane::commandline::fuzz
