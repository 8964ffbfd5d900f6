// Names and values from packages and command lines are compared without
// regard to case and without the blanks around them: one way to do both for
// every layer, and for the simulator.
#pragma once

#include <cctype>
#include <string>
#include <string_view>

namespace pelvane::core {

inline constexpr std::string_view kBlanks = " \t";

// `text` without the characters of `blanks` at either end.
inline std::string Trim(std::string_view text, std::string_view blanks = kBlanks) {
  const auto first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return std::string(text.substr(first, text.find_last_not_of(blanks) - first + 1));
}

// ASCII letters upper-cased; other bytes (UTF-8 included) as they are.
inline std::string ToUpper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

}  // namespace pelvane::core
