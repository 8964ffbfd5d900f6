// The driver library on Linux: linux-gpib's libgpib.so.0, loaded with dlopen.
#include <dlfcn.h>

#include <array>
#include <cerrno>

#include "ports/gpib/driver_library.h"

namespace pelvane::ports::gpib {

namespace {

constexpr std::array<const char*, 1> kLibraries = {"libgpib.so.0"};

// dlopen and dlsym promise no errno, yet the status words need a system code:
// a failure without one counts as "no such file".
int SystemErrorOr(int saved) {
  return saved != 0 ? saved : ENOENT;
}

// dlerror's text names the file, and for a look-up the symbol too.
std::string LoaderText() {
  const char* text = dlerror();
  return text != nullptr ? text : "";
}

}  // namespace

const DriverNames& PlatformDriverNames() {
  static const DriverNames names{kLibraries, "ibsta", "iberr", "ibcntl"};
  return names;
}

std::optional<DynamicLibrary> DynamicLibrary::Load(const std::string& name, LoadFailure* failure) {
  errno = 0;
  void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const int saved = errno;
    *failure = {SystemErrorOr(saved), LoaderText()};
    return std::nullopt;
  }
  return DynamicLibrary(handle, name);
}

void* DynamicLibrary::Find(const char* symbol, LoadFailure* failure) const {
  dlerror();
  void* address = dlsym(handle_, symbol);
  if (address == nullptr) *failure = {ENOENT, LoaderText()};
  return address;
}

void DynamicLibrary::Unload() {
  if (handle_ != nullptr) dlclose(handle_);
  handle_ = nullptr;
}

}  // namespace pelvane::ports::gpib
