// Texts of the upload controller: hexadecimal numbers, the elapsed time and
// the speed check. The open string comes from the port-kind table
// (ports::OpenString).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/text.h"

namespace pelvane::upload {

// Upper-case digits, no prefix, no leading zeros ("0" for 0); a negative
// 32-bit value as its two's complement ("FFFFFFFF" for -1).
std::string HexText(std::int64_t value);

// "Firmware Upload Process completed in 2 Minutes 5 Seconds" for 125; another
// process names itself ("Verify Process").
std::string CompletedText(std::int64_t elapsedSeconds,
                          std::string_view process = "Firmware Upload Process");

// What a verification that changed nothing concludes.
inline constexpr const char* kHoldsPackageText = "The instrument holds this package.";
inline constexpr const char* kDoesNotHoldPackageText = "The instrument does not hold this package";

// "2026-12-09T11:54:52Z": a moment as records keep it.
std::string UtcTimeText(std::chrono::system_clock::time_point when);

// "64 KiB", "1000 bytes", "1.5 MiB": a count of bytes as people read it.
std::string SizeText(std::int64_t bytes);

// 115200 must be a whole multiple of the serial speed (0 never is).
bool SpeedValid(std::int32_t baudRate);

}  // namespace pelvane::upload
