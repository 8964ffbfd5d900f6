#include "app/commands.h"

namespace pelvane::app {
namespace {

void Put16(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<std::uint8_t>((value >> shift) & 0xFF));
}

}  // namespace

std::vector<std::uint8_t> SingleByteCommand(QUARNEL_ID code) {
  return {code};
}

std::vector<std::uint8_t> QueryManufacturerCommand(std::uint32_t flashBase,
                                                   std::uint8_t architecture,
                                                   std::uint8_t flashType) {
  std::vector<std::uint8_t> out{TMANUFACTURER, architecture, flashType};
  Put32(out, flashBase);
  return out;
}

std::vector<std::uint8_t> FlashDeleteCommand(std::uint8_t architecture, std::uint8_t flashType,
                                             std::uint32_t start, std::uint32_t length) {
  std::vector<std::uint8_t> out{TFLASHERASE, architecture, flashType};
  Put32(out, start);
  Put32(out, length);
  return out;
}

std::vector<std::uint8_t> ProgCommand(std::uint32_t start, std::uint8_t architecture,
                                      std::uint8_t flashType, std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> out{TPROGDATEN, architecture, flashType};
  out.reserve(9 + data.size());
  Put32(out, start);
  Put16(out, static_cast<std::uint16_t>(data.size()));
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

std::vector<std::uint8_t> RangeCommand(QUARNEL_ID code, std::uint8_t architecture,
                                       std::uint32_t start, std::uint32_t length) {
  std::vector<std::uint8_t> out{code, architecture};
  Put32(out, start);
  Put32(out, length);
  return out;
}

std::vector<std::uint8_t> TransferProgramBlock(std::span<const std::uint8_t> program,
                                               std::uint32_t loadAddress,
                                               std::uint32_t execAddress) {
  std::vector<std::uint8_t> out;
  out.reserve(program.size() + 14);
  Put32(out, static_cast<std::uint32_t>(program.size()));
  Put32(out, loadAddress);
  Put32(out, execAddress);
  out.insert(out.end(), program.begin(), program.end());
  std::uint32_t sum = 0;
  for (auto it = out.begin() + 4; it != out.end(); ++it) sum += *it;
  Put16(out, static_cast<std::uint16_t>(sum & 0xFFFF));
  return out;
}

}  // namespace pelvane::app
