// The driver library on Windows: NI-488.2, loaded with LoadLibraryW.
//
// Two files are tried. "GPIB-32.DLL" first: it is the driver interface this
// port is written against (exported status variables user_ibsta, user_iberr,
// user_ibcntl), and the NI-compatible drivers of other vendors install a file
// of that name. NI's own GPIB-32.DLL exists for 32-bit programs only, so a
// 64-bit Pelvane finds it only where a vendor ships a 64-bit one; it then
// loads "ni4882.dll", NI's interface for 64-bit programs, which offers the
// status through the functions ThreadIbsta, ThreadIberr and ThreadIbcnt
// instead of variables (the binding takes either).
#include <windows.h>

#include <array>

#include "ports/gpib/driver_library.h"

namespace pelvane::ports::gpib {

namespace {

constexpr std::array<const char*, 2> kLibraries = {"GPIB-32.DLL", "ni4882.dll"};

// The caller's UTF-8 as the UTF-16 that the wide system calls take; nothing
// when the text is not valid UTF-8.
std::optional<std::wstring> Wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                       static_cast<int>(text.size()), nullptr, 0);
  if (size <= 0) return std::nullopt;
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                      wide.data(), size);
  return wide;
}

std::string Utf8(const wchar_t* text, int length) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string narrow(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, narrow.data(), size, nullptr, nullptr);
  return narrow;
}

// The system's text for `code`, without its closing line break.
std::string SystemText(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text = length > 0 ? Utf8(buffer, static_cast<int>(length)) : std::string();
  LocalFree(buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  if (text.empty()) text = "system error " + std::to_string(code);
  return text;
}

LoadFailure Failure(DWORD code, const std::string& where) {
  if (code == 0) code = ERROR_MOD_NOT_FOUND;
  return {static_cast<int>(code), where + ": " + SystemText(code)};
}

}  // namespace

const DriverNames& PlatformDriverNames() {
  static const DriverNames names{kLibraries, "user_ibsta", "user_iberr", "user_ibcntl"};
  return names;
}

std::optional<DynamicLibrary> DynamicLibrary::Load(const std::string& name, LoadFailure* failure) {
  const std::optional<std::wstring> wide = Wide(name);
  if (!wide) {
    *failure = Failure(ERROR_NO_UNICODE_TRANSLATION, name);
    return std::nullopt;
  }
  HMODULE module = LoadLibraryW(wide->c_str());
  if (module == nullptr) {
    *failure = Failure(GetLastError(), name);
    return std::nullopt;
  }
  return DynamicLibrary(reinterpret_cast<void*>(module), name);
}

void* DynamicLibrary::Find(const char* symbol, LoadFailure* failure) const {
  FARPROC address = GetProcAddress(static_cast<HMODULE>(handle_), symbol);
  if (address == nullptr) {
    *failure = Failure(GetLastError(), name_ + ": " + symbol);
    return nullptr;
  }
  return reinterpret_cast<void*>(address);
}

void DynamicLibrary::Unload() {
  if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
  handle_ = nullptr;
}

}  // namespace pelvane::ports::gpib
