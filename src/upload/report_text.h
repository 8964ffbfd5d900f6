// Texts of the upload controller: hexadecimal numbers, the elapsed time, the
// port open string and the error texts of the controller's codes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/text.h"
#include "package/port_kind.h"

namespace pelvane::upload {

// Upper-case digits, no prefix, no leading zeros ("0" for 0); a negative
// 32-bit value as its two's complement ("FFFFFFFF" for -1).
std::string HexText(std::int64_t value);

// "Firmware Upload Process completed in 2 Minutes 5 Seconds" for 125.
std::string CompletedText(std::int64_t elapsedSeconds);

// The package layer's port rule, so that the open string, the speed check and
// the package's connection text can never disagree about a port name.
using package::KindOfPort;
using package::PortKind;

// The open string of the application object for a port and a baud text.
std::string OpenString(std::string_view portName, std::string_view baudText);

// 115200 must be a whole multiple of the serial speed (0 never is).
bool SpeedValid(std::int32_t baudRate);

using core::ToUpper;
using core::Trim;

}  // namespace pelvane::upload
