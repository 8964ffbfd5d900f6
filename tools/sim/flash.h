// Simulated flash memories of the instrument. They behave like NOR flash:
// erasing sets bytes to 0xFF and programming can only clear bits, so a block
// that would need a 0 -> 1 change fails, as it does on the real parts.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pelvane::sim {

struct FlashMemory {
  std::string name;  // the package's flash name, e.g. "AM29F040"
  std::uint32_t base = 0;
  std::uint32_t size = 0;
  std::uint32_t manufacturer = 0;
  std::uint32_t device = 0;
  std::vector<std::uint8_t> bytes;

  // One past the last address, in 64 bits so that a memory may end at 4 GiB.
  std::uint64_t end() const { return std::uint64_t{base} + size; }
};

// Manufacturer and device codes of the flash parts that packages name; a name
// outside the table gets 0, 0 unless codes are given.
struct FlashCodes {
  std::uint32_t manufacturer = 0;
  std::uint32_t device = 0;
};
std::optional<FlashCodes> KnownFlashCodes(const std::string& name);

// The flash type byte the host sends for a flash name (0 for unknown names).
std::uint8_t FlashTypeIndex(const std::string& name);

struct FlashOutcome {
  bool ok = true;
  std::uint32_t fail_address = 0;
};

class FlashBank {
 public:
  // Adds a memory filled with `fill`. Returns an error text when it overlaps a
  // memory already present or is empty, and adds nothing then.
  std::optional<std::string> Add(FlashMemory memory, std::uint8_t fill = 0xFF);

  const std::vector<FlashMemory>& memories() const { return memories_; }

  // The memory holding all of [address, address + length), or null.
  const FlashMemory* Find(std::uint32_t address, std::uint64_t length) const;
  // The memory holding `address`, for the manufacturer query.
  const FlashMemory* At(std::uint32_t address) const { return Find(address, 1); }

  // NOR programming, byte after byte as the part does it: bytes before a
  // failing one stay programmed. Fails at the first address outside the
  // memories or the first byte that would need a bit to go from 0 to 1.
  FlashOutcome Program(std::uint32_t address, std::span<const std::uint8_t> data);
  // Fills the range with 0xFF; fails, changing nothing, when the range is not
  // inside one memory (fail address: the first address outside).
  FlashOutcome Erase(std::uint32_t address, std::uint32_t length);
  // Nothing when the range is not inside one memory.
  std::optional<std::vector<std::uint8_t>> Read(std::uint32_t address, std::uint32_t length) const;
  // The 32-bit sum of the stored bytes of the range.
  std::optional<std::uint32_t> Sum(std::uint32_t address, std::uint32_t length) const;

  // Copies a file's bytes into a memory as if programmed on a blank part.
  std::optional<std::string> Preload(std::uint32_t address, std::span<const std::uint8_t> data);

 private:
  FlashMemory* FindMutable(std::uint32_t address, std::uint64_t length);
  std::uint32_t FirstAddressOutside(std::uint32_t address, std::uint64_t length) const;

  std::vector<FlashMemory> memories_;
};

}  // namespace pelvane::sim
