// UTF-8, the text of the whole program, and UTF-16, the text of the Windows
// calls. Written out rather than taken from the system so that the Windows
// code's conversions are the same, and tested, on every platform.
#pragma once

#include <string>
#include <string_view>

namespace pelvane::core {

// A byte sequence that is not UTF-8 becomes U+FFFD, one for each byte that
// cannot start or continue a character, so that nothing is cut short.
std::wstring Utf16FromUtf8(std::string_view utf8);
// An unpaired surrogate becomes U+FFFD.
std::string Utf8FromUtf16(std::wstring_view utf16);

}  // namespace pelvane::core
