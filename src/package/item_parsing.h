// Parsing rules shared by every package item's Init.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/text.h"

namespace pelvane::package {

// Splits at every separator, no limit; fields are not trimmed.
std::vector<std::string> Split(std::string_view text, char separator);

// An item's init string: comma-separated fields, each trimmed. There is
// always at least one field (an empty string gives one empty field).
std::vector<std::string> SplitItemFields(std::string_view initString);

// A numeric field: "0X" (any case) followed by 1..8 hexadecimal digits is
// read as a 32-bit pattern (so 0xFFFFFFFF is -1); otherwise an optionally
// signed decimal integer that fits in a signed 32-bit integer. Anything else
// (empty, "abc", "0x", "12abc", out of range) does not convert.
std::optional<std::int32_t> ParseNumericField(std::string_view field);
// The numeric field at `index`; nothing when the line has fewer fields (an
// item line that stops early is refused) or when the field does not convert.
std::optional<std::int32_t> NumericFieldAt(const std::vector<std::string>& fields,
                                           std::size_t index);

// A file-name field: unchanged when it holds ":" anywhere or begins with
// "\"; otherwise the source path is put in front without a separator.
std::string ResolveFileName(const std::string& field, const std::string& sourcePath);

// start + length when it fits in a signed 32-bit integer.
std::optional<std::int32_t> EndAddress(std::int32_t start, std::int32_t length);

// Upper-case hexadecimal without prefix or leading zeros; negative values as
// their 32-bit two's-complement pattern.
std::string Hex(std::int32_t value);

}  // namespace pelvane::package
