// Decoding of one response message (the bytes left after the presentation
// layer has checked and stripped the checksum). Pure: bytes in, fields out,
// so it can be fuzzed and tested without a session.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "app/quarnel.h"

namespace pelvane::app {

enum class ResponseKind {
  Status,        // HERROR, HPROGPWRON, HPROGPWROFF
  Manufacturer,  // HMANUFACTURER
  ReadData,      // HLESEDATEN
  ProgStatus,    // HPROGDATEN
  Checksum,      // HCHECKSUM
  EraseStatus,   // HFLASHERASE
  ProgEnd,       // HPROGEND
  Unknown,       // any other code: becomes the last response code, raises nothing
  Truncated,     // shorter than the fields its code reads: dropped
};

struct DecodedResponse {
  ResponseKind kind = ResponseKind::Truncated;
  std::uint8_t code = 0;  // byte 0; meaningless for Truncated with an empty message
  std::int16_t status = 0;
  std::uint32_t manufacturer = 0;
  std::uint32_t flashType = 0;
  std::uint32_t failAddr = 0;
  std::uint32_t checksum = 0;
  // HLESEDATEN: the length byte and the data it announces, a view into the message.
  std::uint32_t readLength = 0;
  std::span<const std::uint8_t> readData;
  // HLESEDATEN: the start address the answer names (bytes 2 to 5).
  std::uint32_t readAddress = 0;
};

// How many message bytes the fields of `code` reach; for HLESEDATEN the
// length byte decides, so pass the message.
std::size_t BytesNeeded(std::span<const std::uint8_t> message);

// Reads the fields the code carries. Bytes the code does not name are not
// interpreted. Never reads past `message`: a response too short for its own
// fields comes back as Truncated.
DecodedResponse DecodeResponse(std::span<const std::uint8_t> message);

}  // namespace pelvane::app
