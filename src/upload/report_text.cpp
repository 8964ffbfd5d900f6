#include "upload/report_text.h"

namespace pelvane::upload {

std::string HexText(std::int64_t value) {
  // Only the low 32 bits are shown: a negative long is its two's complement.
  auto bits = static_cast<std::uint32_t>(static_cast<std::uint64_t>(value));
  if (bits == 0) return "0";
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  while (bits != 0) {
    text.insert(text.begin(), kDigits[bits & 0xF]);
    bits >>= 4;
  }
  return text;
}

std::string CompletedText(std::int64_t elapsedSeconds) {
  if (elapsedSeconds < 0) elapsedSeconds = 0;
  const std::int64_t minutes = elapsedSeconds / 60;
  const std::int64_t seconds = elapsedSeconds - 60 * minutes;
  return "Firmware Upload Process completed in " + std::to_string(minutes) + " Minutes " +
         std::to_string(seconds) + " Seconds";
}

bool SpeedValid(std::int32_t baudRate) {
  return baudRate > 0 && 115200 % baudRate == 0;
}

}  // namespace pelvane::upload
