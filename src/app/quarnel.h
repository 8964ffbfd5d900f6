// Codes of the instrument's flash protocol. The instrument simulator shares
// these constants (and nothing else) with the host.
#pragma once

#include <cstdint>

namespace pelvane::app {

// A response code is its command code plus 0x80, except end of programming.
enum QUARNEL_ID : std::uint8_t {
  HERROR = 0x20,
  TMANUFACTURER = 0x21,
  HMANUFACTURER = 0xA1,
  TPROGPWRON = 0x22,
  HPROGPWRON = 0xA2,
  TPROGPWROFF = 0x23,
  HPROGPWROFF = 0xA3,
  TLESEDATEN = 0x24,
  HLESEDATEN = 0xA4,
  TPROGDATEN = 0x25,
  HPROGDATEN = 0xA5,
  TCHECKSUM = 0x26,
  HCHECKSUM = 0xA6,
  TFLASHERASE = 0x27,
  HFLASHERASE = 0xA7,
  TPROGEND = 0x49,
  HPROGEND = 0x48,
};

// The verdict of a transfer-program upload: the session's values, passed on unchanged.
enum QUARNEL_ERR : std::int32_t {
  PT_TOK = 0,
  PT_TPARITYERR = 0x901,
  PT_TFRAMINGERR = 0x902,
  PT_TOVERRUNERR = 0x903,
  PT_TCHECKSUMERR = 0x904,
  PT_TNORESPONSE = 0x906,
};

// The boot monitor's one-character answers to a transfer-program upload.
inline constexpr std::uint8_t kVerdictOk = 'T';
inline constexpr std::uint8_t kVerdictParity = 'P';
inline constexpr std::uint8_t kVerdictFraming = 'F';
inline constexpr std::uint8_t kVerdictOverrun = 'O';
inline constexpr std::uint8_t kVerdictChecksum = 'C';

// The host's answer to a frame's length byte, before the body follows.
inline constexpr std::uint8_t kLengthAck = 0xFF;

}  // namespace pelvane::app
