#include "upload/report_text.h"

#include <cmath>
#include <cstdio>

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

std::string CompletedText(std::int64_t elapsedSeconds, std::string_view process) {
  if (elapsedSeconds < 0) elapsedSeconds = 0;
  const std::int64_t minutes = elapsedSeconds / 60;
  const std::int64_t seconds = elapsedSeconds - 60 * minutes;
  return std::string(process) + " completed in " + std::to_string(minutes) + " Minutes " +
         std::to_string(seconds) + " Seconds";
}

std::string UtcTimeText(std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  const auto secondsNow = time_point_cast<seconds>(when);
  const auto day = floor<days>(secondsNow);
  const year_month_day date(day);
  const hh_mm_ss time(secondsNow - day);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return text;
}

std::string SizeText(std::int64_t bytes) {
  constexpr std::int64_t kKiB = 1024;
  constexpr std::int64_t kMiB = 1024 * kKiB;
  // Below 10 KiB the exact count reads as easily as a rounded one.
  if (bytes < 10 * kKiB) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  const bool mebi = bytes >= 10 * kMiB;
  const double value = static_cast<double>(bytes) / static_cast<double>(mebi ? kMiB : kKiB);
  char text[32];
  // Whole units show without a fraction ("64 KiB"), others with one.
  if (value == std::floor(value))
    std::snprintf(text, sizeof text, "%.0f %s", value, mebi ? "MiB" : "KiB");
  else
    std::snprintf(text, sizeof text, "%.1f %s", value, mebi ? "MiB" : "KiB");
  return text;
}

bool SpeedValid(std::int32_t baudRate) {
  return baudRate > 0 && 115200 % baudRate == 0;
}

}  // namespace pelvane::upload
