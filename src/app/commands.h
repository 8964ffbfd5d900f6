// The command messages of the flash protocol (before the presentation
// checksum) and the transfer-program upload block. Pure builders: multi-byte
// fields are little-endian on the wire whatever the host's byte order.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "app/quarnel.h"

namespace pelvane::app {

// A message must fit the session frame's one-byte length (255), so a program
// block carries at most 255 - 9 header bytes.
inline constexpr std::int32_t kMaxProgBlock = 246;

std::vector<std::uint8_t> SingleByteCommand(QUARNEL_ID code);
std::vector<std::uint8_t> QueryManufacturerCommand(std::uint32_t flashBase,
                                                   std::uint8_t architecture,
                                                   std::uint8_t flashType);
std::vector<std::uint8_t> FlashDeleteCommand(std::uint8_t architecture, std::uint8_t flashType,
                                             std::uint32_t start, std::uint32_t length);
// data.size() must be at most kMaxProgBlock; the length field is 16 bits.
std::vector<std::uint8_t> ProgCommand(std::uint32_t start, std::uint8_t architecture,
                                      std::uint8_t flashType, std::span<const std::uint8_t> data);
// ReadData (TLESEDATEN) and Checksum (TCHECKSUM) share a layout without a flash type.
std::vector<std::uint8_t> RangeCommand(QUARNEL_ID code, std::uint8_t architecture,
                                       std::uint32_t start, std::uint32_t length);

// The raw block the boot monitor takes: length, load address, execution
// address, the program, and the low 16 bits of the byte sum over the two
// addresses and the program (the length is not summed).
std::vector<std::uint8_t> TransferProgramBlock(std::span<const std::uint8_t> program,
                                               std::uint32_t loadAddress,
                                               std::uint32_t execAddress);

}  // namespace pelvane::app
