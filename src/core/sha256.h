// SHA-256, for the digests in a run's record (the package, the files read
// back). Small and the same on every platform, so no crypto library is
// needed for one hash.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace pelvane::core {

class Sha256 {
 public:
  Sha256();
  void Update(std::span<const std::uint8_t> bytes);
  // The digest of everything given; the object is spent afterwards.
  std::array<std::uint8_t, 32> Finish();
  // Finish as 64 lower-case hexadecimal digits.
  std::string FinishHex();

 private:
  void Block(const std::uint8_t* block);

  std::array<std::uint32_t, 8> state_;
  std::array<std::uint8_t, 64> pending_{};
  std::size_t pendingSize_ = 0;
  std::uint64_t totalBytes_ = 0;
};

// The digest of a file in lower-case hexadecimal; empty when it cannot be read.
std::string FileSha256(const std::string& path);

}  // namespace pelvane::core
