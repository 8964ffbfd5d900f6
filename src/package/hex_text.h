// Binary package members written as hexadecimal text, so that a source tree
// keeps only text and the package is made at build time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pelvane::package {

// Blanks and line breaks are ignored; a line whose first non-blank character
// is "#" is a comment. On a character that is not a hexadecimal digit, or an
// odd number of digits, gives nothing and says why in `error`.
std::optional<std::vector<std::uint8_t>> DecodeHexText(const std::string& text, std::string& error);

}  // namespace pelvane::package
