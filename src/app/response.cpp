#include "app/response.h"

namespace pelvane::app {
namespace {

constexpr std::size_t kReadLengthOffset = 6;
constexpr std::size_t kReadDataOffset = 10;
constexpr std::size_t kFailAddressOffset = 3;

std::uint32_t LittleEndian32(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return static_cast<std::uint32_t>(bytes[offset]) |
         static_cast<std::uint32_t>(bytes[offset + 1]) << 8 |
         static_cast<std::uint32_t>(bytes[offset + 2]) << 16 |
         static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

// The instrument sends the whole 32-bit fail address; an answer cut after its
// first byte still names that byte, as answers always did.
std::uint32_t FailAddress(std::span<const std::uint8_t> message) {
  return message.size() >= kFailAddressOffset + 4 ? LittleEndian32(message, kFailAddressOffset)
                                                  : message[kFailAddressOffset];
}

}  // namespace

std::size_t BytesNeeded(std::span<const std::uint8_t> message) {
  if (message.empty()) return 1;
  switch (message[0]) {
    case HERROR:
    case HPROGPWRON:
    case HPROGPWROFF:
    case HCHECKSUM:
      return 2;
    case HMANUFACTURER:
      return 9;
    case HPROGDATEN:
    case HFLASHERASE:
      // The fail address starts at byte 3; an answer that ends there
      // carries its low byte alone.
      return kFailAddressOffset + 1;
    case HLESEDATEN: {
      if (message.size() <= kReadLengthOffset) return kReadLengthOffset + 1;
      const std::size_t length = message[kReadLengthOffset];
      // A zero length reads only the length byte; otherwise the data at 10.
      return length == 0 ? kReadLengthOffset + 1 : kReadDataOffset + length;
    }
    default:
      return 1;
  }
}

DecodedResponse DecodeResponse(std::span<const std::uint8_t> message) {
  DecodedResponse r;
  if (message.empty() || message.size() < BytesNeeded(message)) {
    if (!message.empty()) r.code = message[0];
    return r;  // Truncated
  }
  r.code = message[0];
  switch (r.code) {
    case HERROR:
    case HPROGPWRON:
    case HPROGPWROFF:
      r.kind = ResponseKind::Status;
      r.status = message[1];
      break;
    case HMANUFACTURER:
      r.kind = ResponseKind::Manufacturer;
      r.manufacturer = LittleEndian32(message, 1);
      r.flashType = LittleEndian32(message, 5);
      break;
    case HLESEDATEN:
      r.kind = ResponseKind::ReadData;
      r.readLength = message[kReadLengthOffset];
      r.readAddress = LittleEndian32(message, 2);
      if (r.readLength != 0) r.readData = message.subspan(kReadDataOffset, r.readLength);
      break;
    case HPROGDATEN:
      r.kind = ResponseKind::ProgStatus;
      r.status = message[1];
      r.failAddr = FailAddress(message);
      break;
    case HCHECKSUM:
      r.kind = ResponseKind::Checksum;
      r.checksum = message[1];
      break;
    case HFLASHERASE:
      r.kind = ResponseKind::EraseStatus;
      r.status = message[1];
      r.failAddr = FailAddress(message);
      break;
    case HPROGEND:
      r.kind = ResponseKind::ProgEnd;
      break;
    default:
      r.kind = ResponseKind::Unknown;
      break;
  }
  return r;
}

}  // namespace pelvane::app
