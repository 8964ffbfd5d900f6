// The IEEE-488 driver library as this platform has it: the files to load when
// nobody names another, the names of its status variables, and the loader
// that brings a library in at run time (dlopen on Linux, LoadLibraryW on
// Windows). The implementations lie side by side (driver_library_posix.cpp,
// driver_library_win32.cpp); the build picks one.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <utility>

namespace pelvane::ports::gpib {

struct DriverNames {
  // The files tried in this order when PELVANE_GPIB_LIBRARY names none.
  std::span<const char* const> libraries;
  // The driver's process-wide status variables.
  const char* ibsta;
  const char* iberr;
  const char* ibcntl;
};

const DriverNames& PlatformDriverNames();

// Why a load or a look-up failed.
struct LoadFailure {
  int systemError = 0;  // the system's code (errno, GetLastError); never 0
  std::string text;     // the loader's own text, naming the file and the symbol
};

// A library loaded at run time. It stays loaded until Unload: a driver may
// keep threads or handlers that must not lose their code.
class DynamicLibrary {
 public:
  // The library `name` (UTF-8: a file name the system searches for, or a
  // path), or nothing after filling `failure`.
  static std::optional<DynamicLibrary> Load(const std::string& name, LoadFailure* failure);

  // The address of the exported function or variable `symbol`, or nullptr
  // after filling `failure`.
  void* Find(const char* symbol, LoadFailure* failure) const;

  void Unload();

  const std::string& name() const { return name_; }

 private:
  DynamicLibrary(void* handle, std::string name) : handle_(handle), name_(std::move(name)) {}

  void* handle_ = nullptr;
  std::string name_;
};

}  // namespace pelvane::ports::gpib
