#include "sim/flash.h"

#include <algorithm>
#include <array>
#include <numeric>

namespace pelvane::sim {
namespace {

struct KnownPart {
  const char* name;
  std::uint8_t index;  // the flash type byte the host sends
  FlashCodes codes;    // as the parts' autoselect mode reports them
};

constexpr std::array<KnownPart, 8> kParts{{
    {"AM28F010", 0x11, {0x01, 0xA7}},
    {"I28F010", 0x12, {0x89, 0xB4}},
    {"AM28F020", 0x13, {0x01, 0x2A}},
    {"I28F020", 0x14, {0x89, 0xBD}},
    {"AM29F010", 0x15, {0x01, 0x20}},
    {"AM29F040", 0x16, {0x01, 0xA4}},
    {"I28F016", 0x17, {0x89, 0xA0}},
    {"AM29LV800", 0x18, {0x01, 0x22DA}},
}};

const KnownPart* FindPart(const std::string& name) {
  for (const auto& part : kParts) {
    if (name == part.name) return &part;
  }
  return nullptr;
}

}  // namespace

std::optional<FlashCodes> KnownFlashCodes(const std::string& name) {
  if (const auto* part = FindPart(name)) return part->codes;
  return std::nullopt;
}

std::uint8_t FlashTypeIndex(const std::string& name) {
  const auto* part = FindPart(name);
  return part ? part->index : 0;
}

std::optional<std::string> FlashBank::Add(FlashMemory memory, std::uint8_t fill) {
  if (memory.size == 0) return "flash memory " + memory.name + " has no size";
  if (memory.end() > (std::uint64_t{1} << 32)) {
    return "flash memory " + memory.name + " reaches past the 32-bit address space";
  }
  for (const auto& other : memories_) {
    if (memory.base < other.end() && other.base < memory.end()) {
      return "flash memory " + memory.name + " overlaps " + other.name;
    }
  }
  memory.bytes.assign(memory.size, fill);
  memories_.push_back(std::move(memory));
  return std::nullopt;
}

const FlashMemory* FlashBank::Find(std::uint32_t address, std::uint64_t length) const {
  for (const auto& memory : memories_) {
    if (address >= memory.base && address + length <= memory.end()) return &memory;
  }
  return nullptr;
}

FlashMemory* FlashBank::FindMutable(std::uint32_t address, std::uint64_t length) {
  return const_cast<FlashMemory*>(Find(address, length));
}

std::uint32_t FlashBank::FirstAddressOutside(std::uint32_t address, std::uint64_t length) const {
  // The range starts inside a memory and runs past its end, or lies outside all of them.
  for (const auto& memory : memories_) {
    if (address >= memory.base && address < memory.end() && address + length > memory.end()) {
      return static_cast<std::uint32_t>(memory.end());
    }
  }
  return address;
}

FlashOutcome FlashBank::Program(std::uint32_t address, std::span<const std::uint8_t> data) {
  FlashMemory* memory = FindMutable(address, data.size());
  if (memory == nullptr) {
    if (data.empty()) return {};
    return {false, FirstAddressOutside(address, data.size())};
  }
  const std::size_t offset = address - memory->base;
  for (std::size_t i = 0; i < data.size(); ++i) {
    std::uint8_t& cell = memory->bytes[offset + i];
    if ((cell & data[i]) != data[i]) {
      return {false, static_cast<std::uint32_t>(address + i)};
    }
    cell = data[i];
  }
  return {};
}

FlashOutcome FlashBank::Erase(std::uint32_t address, std::uint32_t length) {
  if (length == 0) return {};
  FlashMemory* memory = FindMutable(address, length);
  if (memory == nullptr) return {false, FirstAddressOutside(address, length)};
  const std::size_t offset = address - memory->base;
  std::fill_n(memory->bytes.begin() + static_cast<std::ptrdiff_t>(offset), length, 0xFF);
  return {};
}

std::optional<std::vector<std::uint8_t>> FlashBank::Read(std::uint32_t address,
                                                         std::uint32_t length) const {
  if (length == 0) return std::vector<std::uint8_t>{};
  const FlashMemory* memory = Find(address, length);
  if (memory == nullptr) return std::nullopt;
  const auto first = memory->bytes.begin() + (address - memory->base);
  return std::vector<std::uint8_t>(first, first + length);
}

std::optional<std::uint32_t> FlashBank::Sum(std::uint32_t address, std::uint32_t length) const {
  if (length == 0) return 0;
  const FlashMemory* memory = Find(address, length);
  if (memory == nullptr) return std::nullopt;
  const auto first = memory->bytes.begin() + (address - memory->base);
  return std::accumulate(first, first + length, std::uint32_t{0});
}

std::optional<std::string> FlashBank::Preload(std::uint32_t address,
                                              std::span<const std::uint8_t> data) {
  FlashMemory* memory = FindMutable(address, data.size());
  if (memory == nullptr) return "the preloaded data do not fit in one flash memory";
  std::copy(data.begin(), data.end(), memory->bytes.begin() + (address - memory->base));
  return std::nullopt;
}

}  // namespace pelvane::sim
