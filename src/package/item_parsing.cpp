#include "package/item_parsing.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <limits>

namespace pelvane::package {

std::vector<std::string> Split(std::string_view text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t pos = text.find(separator, start);
    if (pos == std::string_view::npos) {
      parts.emplace_back(text.substr(start));
      return parts;
    }
    parts.emplace_back(text.substr(start, pos - start));
    start = pos + 1;
  }
}

std::vector<std::string> SplitItemFields(std::string_view initString) {
  std::vector<std::string> fields = Split(initString, ',');
  for (auto& field : fields) field = core::Trim(field);
  return fields;
}

std::optional<std::int32_t> NumericFieldAt(const std::vector<std::string>& fields,
                                           std::size_t index) {
  if (index >= fields.size()) return std::nullopt;
  return ParseNumericField(fields[index]);
}

std::optional<std::int32_t> ParseNumericField(std::string_view field) {
  std::string text = core::Trim(field);
  std::string upper = core::ToUpper(text);
  std::size_t hexPos = upper.find("0X");
  if (hexPos != std::string::npos) {
    // The prefix stands for the conversion routine's hex marker, so nothing
    // may come before it.
    if (hexPos != 0) return std::nullopt;
    std::string_view digits = std::string_view(upper).substr(2);
    if (digits.empty() || digits.size() > 8) return std::nullopt;
    std::uint32_t value = 0;
    for (char c : digits) {
      if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
      value = value * 16 + static_cast<std::uint32_t>(c <= '9' ? c - '0' : c - 'A' + 10);
    }
    return static_cast<std::int32_t>(value);
  }
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return std::nullopt;
  std::int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) + 1) {
      return std::nullopt;
    }
  }
  if (negative) value = -value;
  if (value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(value);
}

std::string ResolveFileName(const std::string& field, const std::string& sourcePath) {
  if (field.find(':') != std::string::npos || (!field.empty() && field[0] == '\\')) return field;
  return sourcePath + field;
}

std::optional<std::int32_t> EndAddress(std::int32_t start, std::int32_t length) {
  std::int64_t end = static_cast<std::int64_t>(start) + length;
  if (end < std::numeric_limits<std::int32_t>::min() ||
      end > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(end);
}

std::string Hex(std::int32_t value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%X", static_cast<std::uint32_t>(value));
  return buffer;
}

}  // namespace pelvane::package
