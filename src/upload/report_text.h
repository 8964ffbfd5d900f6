// Texts of the upload controller: hexadecimal numbers, the elapsed time, the
// port open string and the error texts of the controller's codes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pelvane::upload {

// Upper-case digits, no prefix, no leading zeros ("0" for 0); a negative
// 32-bit value as its two's complement ("FFFFFFFF" for -1).
std::string HexText(std::int64_t value);

// "Firmware Upload Process completed in 2 Minutes 5 Seconds" for 125.
std::string CompletedText(std::int64_t elapsedSeconds);

// One predicate for every place that decides the kind of a port name: serial
// when it contains "COM" (any case) or is a device path (starts with "/"),
// GPIB when it contains "GPIB"; anything else falls back to the default port.
enum class PortKind { Serial, Gpib, Default };
PortKind KindOfPort(std::string_view portName);

// The open string of the application object for a port and a baud text.
std::string OpenString(std::string_view portName, std::string_view baudText);

// 115200 must be a whole multiple of the serial speed (0 never is).
bool SpeedValid(std::int32_t baudRate);

std::string Trim(std::string_view text);
std::string Upper(std::string_view text);

}  // namespace pelvane::upload
