// Texts from packages (comments, notes, file names) are written by Windows
// tools: UTF-8 where the author chose it, else the Windows-1252 code page.
// Everything Pelvane shows or writes as JSON is UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace pelvane::package {

bool IsValidUtf8(std::string_view text);

// `text` itself when it is valid UTF-8, else its bytes read as Windows-1252.
std::string ToUtf8(std::string_view text);

// A name as Windows compares names without regard to case: in UTF-8 (read as
// ToUtf8 does), with the letters of Windows-1252 upper-cased ("Français",
// "FRANÇAIS" and the Windows-1252 bytes of either give the same text).
std::string FoldedName(std::string_view name);

}  // namespace pelvane::package
