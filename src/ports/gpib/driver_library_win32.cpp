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

#include "core/system_error.h"
#include "core/utf16.h"
#include "ports/gpib/driver_library.h"

namespace pelvane::ports::gpib {

namespace {

constexpr std::array<const char*, 2> kLibraries = {"GPIB-32.DLL", "ni4882.dll"};

LoadFailure Failure(DWORD code, const std::string& where) {
  if (code == 0) code = ERROR_MOD_NOT_FOUND;
  return {static_cast<int>(code), where + ": " + core::SystemErrorText(code)};
}

}  // namespace

const DriverNames& PlatformDriverNames() {
  static const DriverNames names{kLibraries, "user_ibsta", "user_iberr", "user_ibcntl"};
  return names;
}

std::optional<DynamicLibrary> DynamicLibrary::Load(const std::string& name, LoadFailure* failure) {
  HMODULE module = LoadLibraryW(core::Utf16FromUtf8(name).c_str());
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
