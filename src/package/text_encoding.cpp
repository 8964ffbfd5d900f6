#include "package/text_encoding.h"

#include <cstdint>

namespace pelvane::package {

namespace {

// Windows-1252 0x80..0x9F; the five bytes the code page leaves undefined keep
// their C1 control code points, as browsers decode them.
constexpr char16_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The upper-case partner of a letter of Windows-1252 that has one; any other
// code point as it is.
char32_t UpperOf1252Letter(char32_t c) {
  if (c >= U'a' && c <= U'z') return c - 0x20;
  // à..þ except ÷ (ß, just below, has no single upper-case letter).
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 0x20;
  switch (c) {
    case 0xFF:  // ÿ
      return 0x178;
    case 0x161:  // š
      return 0x160;
    case 0x153:  // œ
      return 0x152;
    case 0x17E:  // ž
      return 0x17D;
    default:
      return c;
  }
}

}  // namespace

bool IsValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<std::uint8_t>(text[i]);
    std::size_t length = 0;
    char32_t c = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      c = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      c = lead & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<std::uint8_t>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      c = (c << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and code points beyond Unicode are not UTF-8.
    if ((length == 3 && c < 0x800) || (length == 4 && (c < 0x10000 || c > 0x10FFFF)) ||
        (c >= 0xD800 && c <= 0xDFFF))
      return false;
    i += length;
  }
  return true;
}

std::string ToUtf8(std::string_view text) {
  if (IsValidUtf8(text)) return std::string(text);
  std::string out;
  out.reserve(text.size() * 2);
  for (const char ch : text) {
    const auto byte = static_cast<std::uint8_t>(ch);
    if (byte >= 0x80 && byte < 0xA0)
      AppendUtf8(out, kHighControls[byte - 0x80]);
    else
      AppendUtf8(out, byte);
  }
  return out;
}

std::string FoldedName(std::string_view name) {
  const std::string text = ToUtf8(name);
  std::string out;
  out.reserve(text.size());
  // Valid UTF-8 from here on: each lead byte says how many bytes follow.
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<std::uint8_t>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t c = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) c = (c << 6) | (text[i + k] & 0x3F);
    if (c < 0x10000)
      AppendUtf8(out, UpperOf1252Letter(c));
    else
      out.append(text, i, length);
    i += length;
  }
  return out;
}

}  // namespace pelvane::package
