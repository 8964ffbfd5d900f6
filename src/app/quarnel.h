// Codes of the instrument's flash protocol. The instrument simulator shares
// these constants (and nothing else) with the host; each value is named here
// or in the session's codes that this header includes, and nowhere else.
#pragma once

#include <cstdint>

#include "session/session_codes.h"

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

// The status values of a transfer program's answers that mean success (and,
// for a read answer, the one that means failure). The host checks exactly
// these; any other value is the instrument's failure report.
inline constexpr std::int16_t kStatusEraseOk = 0x41;     // 'A', HFLASHERASE
inline constexpr std::int16_t kStatusProgOk = 0x42;      // 'B', HPROGDATEN
inline constexpr std::int16_t kStatusNoError = 0x42;     // an HERROR that reports no error
inline constexpr std::int16_t kStatusPowerOn = 0x44;     // 'D', HPROGPWRON
inline constexpr std::int16_t kStatusPowerOff = 0x46;    // 'F', HPROGPWROFF
inline constexpr std::int16_t kStatusReadFailed = 0x20;  // HLESEDATEN

// The verdict of a transfer-program upload: the session's values, passed on unchanged.
enum QUARNEL_ERR : std::int32_t {
  PT_TOK = session::PT_OK,
  PT_TPARITYERR = session::PT_TPARITYERR,
  PT_TFRAMINGERR = session::PT_TFRAMINGERR,
  PT_TOVERRUNERR = session::PT_TOVERRUNERR,
  PT_TCHECKSUMERR = session::PT_TCHECKSUMERR,
  PT_TNORESPONSE = session::PT_TNORESPONSE,
};

// The boot monitor's one-character answers to a transfer-program upload, and
// how long UploadTransferProgram waits for one, are the session's
// (session::kVerdictOk, session::kVerdictWait, ...): the session reads them, so
// they are named there, below this layer.

// The host's answer to a frame's length byte, before the body follows.
inline constexpr std::uint8_t kLengthAck = 0xFF;

}  // namespace pelvane::app
