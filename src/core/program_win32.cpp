#include <fcntl.h>
#include <io.h>
#include <shlobj.h>
#include <windows.h>

#include <cstdio>

#include "core/program.h"
#include "core/utf16.h"

namespace pelvane::core {

std::vector<std::string> ProgramArguments(int /*argc*/, char** /*argv*/) {
  // The console shows UTF-8 as such; without this it would read the bytes
  // in the OEM code page.
  ::SetConsoleOutputCP(CP_UTF8);
  // Text mode would turn every "\n" into "\r\n".
  ::_setmode(::_fileno(stdout), _O_BINARY);
  ::_setmode(::_fileno(stderr), _O_BINARY);
  // argv holds the arguments in the ANSI code page, which loses characters
  // outside it (a package path with Greek letters): take them from the
  // UTF-16 command line instead.
  std::vector<std::string> arguments;
  int count = 0;
  if (wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count); wide != nullptr) {
    for (int i = 1; i < count; ++i) arguments.push_back(Utf8FromUtf16(wide[i]));
    ::LocalFree(wide);
  }
  return arguments;
}

bool IsTerminal(StandardStream stream) {
  const DWORD which = stream == StandardStream::kIn    ? STD_INPUT_HANDLE
                      : stream == StandardStream::kOut ? STD_OUTPUT_HANDLE
                                                       : STD_ERROR_HANDLE;
  DWORD mode = 0;
  // Only a console has a console mode; a pipe, a file or NUL has none.
  return ::GetConsoleMode(::GetStdHandle(which), &mode) != 0;
}

std::optional<std::string> EnvironmentValue(const char* name) {
  const std::wstring wideName = Utf16FromUtf8(name);
  const DWORD size = ::GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
  if (size == 0) return std::nullopt;
  std::wstring value(size, L'\0');
  const DWORD length = ::GetEnvironmentVariableW(wideName.c_str(), value.data(), size);
  value.resize(length);
  return Utf8FromUtf16(value);
}

bool DisplayAvailable() {
  return true;
}

std::string LogFolder() {
  wchar_t* folder = nullptr;
  std::string logs;
  if (::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder) == S_OK)
    logs = Utf8FromUtf16(folder) + "\\Pelvane\\logs";
  ::CoTaskMemFree(folder);
  return logs;
}

std::string ConfigFolder() {
  wchar_t* folder = nullptr;
  std::string config;
  if (::SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &folder) == S_OK)
    config = Utf8FromUtf16(folder) + "\\Pelvane";
  ::CoTaskMemFree(folder);
  return config;
}

std::string ProgramFile() {
  // A path longer than MAX_PATH comes back cut; the buffer grows until it fits.
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return Utf8FromUtf16(path);
    }
    path.resize(path.size() * 2);
  }
}

}  // namespace pelvane::core
