#include <windows.h>

#include "core/system_error.h"
#include "core/utf16.h"

namespace pelvane::core {

std::uint32_t LastSystemError() {
  return static_cast<std::uint32_t>(::GetLastError());
}

std::string SystemErrorText(std::uint32_t code) {
  wchar_t* text = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message = length > 0 && text != nullptr ? std::wstring(text, length) : L"";
  if (text != nullptr) ::LocalFree(text);
  // The system's texts end in ".\r\n"; messages here go on after them.
  while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n' ||
                              message.back() == L'.' || message.back() == L' '))
    message.pop_back();
  if (message.empty()) return "system error " + std::to_string(code);
  return Utf8FromUtf16(message);
}

}  // namespace pelvane::core
