// Texts of the upload controller: hexadecimal numbers, the elapsed time and
// the speed check. The open string comes from the port-kind table
// (ports::OpenString).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/text.h"

namespace pelvane::upload {

// Upper-case digits, no prefix, no leading zeros ("0" for 0); a negative
// 32-bit value as its two's complement ("FFFFFFFF" for -1).
std::string HexText(std::int64_t value);

// "Firmware Upload Process completed in 2 Minutes 5 Seconds" for 125.
std::string CompletedText(std::int64_t elapsedSeconds);

// 115200 must be a whole multiple of the serial speed (0 never is).
bool SpeedValid(std::int32_t baudRate);

using core::ToUpper;
using core::Trim;

}  // namespace pelvane::upload
