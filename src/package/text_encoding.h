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

}  // namespace pelvane::package
