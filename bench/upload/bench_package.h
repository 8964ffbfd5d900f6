// Firmware packages made for the upload benchmark: one flash memory, one
// program file of a given size (or one read-back of that size), the transfer
// program and nothing else, so that the time of a run is the time of the
// program blocks (or of the read answers).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pelvane::bench {

struct BenchPackageShape {
  std::size_t programBytes = 64 * 1024;
  int maxProgLen = 240;
  long baud = 115200;
  // Instead of erasing and programming, read that many bytes back into a file
  // (an UPLOAD entry): the answers carry the data.
  bool readBack = false;
};

// The flash memory the package names: large enough for the program, in a
// size the simulator's known parts offer.
constexpr std::uint32_t kFlashBase = 0x400000;
constexpr std::uint32_t kFlashSize = 0x200000;  // I28F016, 2 MiB

// The QXCONFIG.INI text of a benchmark package.
std::string BenchConfiguration(const BenchPackageShape& shape);

// Program data that varies byte by byte (so that no stage can skip work on
// erased bytes) and is the same for the same size.
std::vector<std::uint8_t> BenchProgramData(std::size_t size);

// Writes the package to path. False with *error set on failure, also for a
// program that does not fit the flash memory.
bool WriteBenchPackage(const std::string& path, const BenchPackageShape& shape, std::string* error);

}  // namespace pelvane::bench
