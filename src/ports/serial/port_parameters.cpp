#include "ports/serial/port_parameters.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <vector>

namespace pelvane::ports::serial {
namespace {

// "\\.\" starts a Windows device name such as \\.\COM5 or \\.\CNCA0.
constexpr std::string_view kWindowsDevicePrefix = "\\\\.\\";

bool IsSeparator(char c) {
  return c == ':' || c == ',' || c == '\t' || c == '\n';
}
bool IsDigit(char c) {
  return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

std::vector<std::string_view> SplitFields(std::string_view text) {
  std::vector<std::string_view> fields;
  std::size_t pos = 0;
  while (pos < text.size()) {
    while (pos < text.size() && IsSeparator(text[pos])) ++pos;
    const std::size_t start = pos;
    while (pos < text.size() && !IsSeparator(text[pos])) ++pos;
    if (pos > start) fields.push_back(text.substr(start, pos - start));
  }
  return fields;
}

// Leading blanks, an optional sign, then decimal digits; stops at anything
// else. Values beyond 32 bits saturate, so they are refused later rather than
// wrapping into a plausible number.
std::int32_t LeadingNumber(std::string_view field) {
  std::size_t pos = 0;
  while (pos < field.size() && (field[pos] == ' ' || field[pos] == '\r')) ++pos;
  bool negative = false;
  if (pos < field.size() && (field[pos] == '+' || field[pos] == '-'))
    negative = field[pos++] == '-';
  std::int64_t value = 0;
  for (; pos < field.size() && IsDigit(field[pos]); ++pos)
    value = std::min<std::int64_t>(value * 10 + (field[pos] - '0'),
                                   std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1);
  if (negative) value = -value;
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(
      value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

int TrailingNumber(std::string_view field) {
  std::size_t start = field.size();
  while (start > 0 && IsDigit(field[start - 1])) --start;
  if (start == field.size()) return -1;
  std::int64_t value = 0;
  for (std::size_t i = start; i < field.size(); ++i)
    value = std::min<std::int64_t>(value * 10 + (field[i] - '0'), std::numeric_limits<int>::max());
  return static_cast<int>(value);
}

}  // namespace

PortParameters ParsePortParameters(std::string_view text) {
  PortParameters result;
  std::string_view rest = text;
  std::vector<std::string_view> fields;
  const std::size_t begin = text.find_first_not_of(":,\t\n");
  if (begin != std::string_view::npos &&
      (text[begin] == '/' || text.substr(begin).starts_with(kWindowsDevicePrefix))) {
    const std::size_t end = text.find_first_of(",\t\n", begin);
    std::string_view head = text.substr(begin, end == std::string_view::npos ? end : end - begin);
    const std::size_t colon = head.rfind(':');
    if (colon != std::string_view::npos &&
        std::all_of(head.begin() + colon + 1, head.end(), IsDigit)) {
      result.devicePath = std::string(head.substr(0, colon));
      rest = text.substr(begin + colon);
    } else {
      result.devicePath = std::string(head);
      rest = end == std::string_view::npos ? std::string_view{} : text.substr(end);
    }
    fields.push_back(result.devicePath);
  }
  for (std::string_view field : SplitFields(rest)) fields.push_back(field);
  auto field = [&](std::size_t i) { return i < fields.size() ? fields[i] : std::string_view{}; };

  if (result.devicePath.empty()) result.portNumber = TrailingNumber(field(0));
  result.baud = LeadingNumber(field(1));
  if (!field(2).empty())
    result.parity = static_cast<char>(std::toupper(static_cast<unsigned char>(field(2)[0])));
  result.dataBits = LeadingNumber(field(3));
  result.stopBits = LeadingNumber(field(4));
  return result;
}

}  // namespace pelvane::ports::serial
