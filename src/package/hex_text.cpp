#include "package/hex_text.h"

#include <cctype>
#include <sstream>

namespace pelvane::package {

std::optional<std::vector<std::uint8_t>> DecodeHexText(const std::string& text,
                                                       std::string& error) {
  std::vector<std::uint8_t> bytes;
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  int high = -1;
  while (std::getline(lines, line)) {
    ++number;
    const auto first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#') continue;
    for (char ch : line) {
      const auto c = static_cast<unsigned char>(ch);
      if (std::isspace(c)) continue;
      if (!std::isxdigit(c)) {
        error = "line " + std::to_string(number) + ": '" + std::string(1, ch) +
                "' is not a hexadecimal digit";
        return std::nullopt;
      }
      const int v = std::isdigit(c) ? c - '0' : std::toupper(c) - 'A' + 10;
      if (high < 0) {
        high = v;
      } else {
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + v));
        high = -1;
      }
    }
  }
  if (high >= 0) {
    error = "an odd number of hexadecimal digits";
    return std::nullopt;
  }
  return bytes;
}

}  // namespace pelvane::package
