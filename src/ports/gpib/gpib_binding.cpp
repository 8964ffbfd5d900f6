#include "ports/gpib/gpib_binding.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

#include "ports/gpib/gpib_constants.h"

namespace pelvane::ports::gpib {

namespace {

constexpr std::array<const char*, static_cast<std::size_t>(DriverFunction::kCount)> kNames = {
    "ibask", "ibclr", "ibconfig", "ibdev", "ibeos", "ibeot",
    "ibloc", "ibonl", "ibrd",     "ibsic", "ibtmo", "ibwrt",
};

constexpr std::size_t Index(DriverFunction f) {
  return static_cast<std::size_t>(f);
}

// dlopen and dlsym do not promise an errno; the status words still need a
// system code, so a silent loader failure counts as "no such file".
int SystemErrorOr(int saved) {
  return saved != 0 ? saved : ENOENT;
}

std::string LoaderText() {
  const char* text = dlerror();
  return text != nullptr ? text : "";
}

}  // namespace

std::string DefaultLibraryName() {
  const char* named = std::getenv(kLibraryVariable);
  return (named != nullptr && *named != '\0') ? named : kDefaultLibrary;
}

const char* DriverFunctionName(DriverFunction f) {
  return kNames.at(Index(f));
}

GpibBinding::GpibBinding(LibraryName libraryName) : libraryName_(std::move(libraryName)) {}

GpibBinding& GpibBinding::Process() {
  static GpibBinding binding;
  return binding;
}

bool GpibBinding::loaded() const {
  std::lock_guard lock(mutex_);
  return handle_ != nullptr;
}

std::string GpibBinding::loadError() const {
  std::lock_guard lock(mutex_);
  return loadError_;
}

bool GpibBinding::EnsureLoaded() {
  if (handle_ != nullptr) return true;
  const std::string name = libraryName_();
  errno = 0;
  void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const int saved = errno;
    RecordFailure(SystemErrorOr(saved), LoaderText());
    return false;
  }
  // A driver without its status variables cannot report the outcome of any
  // call, so it is as good as missing.
  auto* sta = static_cast<volatile int*>(dlsym(handle, "ibsta"));
  auto* err = static_cast<volatile int*>(dlsym(handle, "iberr"));
  auto* cntl = static_cast<volatile long*>(dlsym(handle, "ibcntl"));
  if (sta == nullptr || err == nullptr || cntl == nullptr) {
    const std::string text =
        name + ": the status variables ibsta, iberr and ibcntl are not all exported";
    dlclose(handle);
    RecordFailure(ENOENT, text);
    return false;
  }
  handle_ = handle;
  driverIbsta_ = sta;
  driverIberr_ = err;
  driverIbcntl_ = cntl;
  loadError_.clear();
  return true;
}

void GpibBinding::RecordFailure(int systemError, std::string text) {
  loadError_ = std::move(text);
  ibsta_.store(kErr, std::memory_order_relaxed);
  iberr_.store(kEdvr, std::memory_order_relaxed);
  ibcnt_.store(systemError, std::memory_order_relaxed);
  ibcntl_.store(systemError, std::memory_order_relaxed);
}

void* GpibBinding::Resolve(DriverFunction f) {
  std::atomic<void*>& entry = entries_[Index(f)];
  if (void* address = entry.load(std::memory_order_acquire)) return address;
  std::lock_guard lock(mutex_);
  if (!EnsureLoaded()) return nullptr;
  dlerror();
  void* address = dlsym(handle_, DriverFunctionName(f));
  if (address == nullptr) {
    RecordFailure(ENOENT, LoaderText());
    return nullptr;
  }
  entry.store(address, std::memory_order_release);
  return address;
}

void GpibBinding::Refresh() {
  // The driver keeps ibcnt as an int that overflows on long transfers; ibcntl
  // holds the whole count, so both words are taken from it.
  const long count = *driverIbcntl_;
  ibsta_.store(*driverIbsta_, std::memory_order_relaxed);
  iberr_.store(*driverIberr_, std::memory_order_relaxed);
  ibcnt_.store(count, std::memory_order_relaxed);
  ibcntl_.store(count, std::memory_order_relaxed);
}

template <DriverFunction F, class Signature, class... Args>
int GpibBinding::Call(Args... args) {
  void* address = Resolve(F);
  if (address == nullptr) return F == DriverFunction::ibdev ? -1 : ibsta();
  const int result = reinterpret_cast<Signature*>(address)(args...);
  Refresh();
  return result;
}

// One line per driver function; the signatures are the driver's published ones.
int GpibBinding::ibask(int ud, int option, int* value) {
  return Call<DriverFunction::ibask, int(int, int, int*)>(ud, option, value);
}
int GpibBinding::ibclr(int ud) {
  return Call<DriverFunction::ibclr, int(int)>(ud);
}
int GpibBinding::ibconfig(int ud, int option, int value) {
  return Call<DriverFunction::ibconfig, int(int, int, int)>(ud, option, value);
}
int GpibBinding::ibdev(int board, int pad, int sad, int tmo, int eot, int eos) {
  return Call<DriverFunction::ibdev, int(int, int, int, int, int, int)>(board, pad, sad, tmo, eot,
                                                                        eos);
}
int GpibBinding::ibeos(int ud, int eos) {
  return Call<DriverFunction::ibeos, int(int, int)>(ud, eos);
}
int GpibBinding::ibeot(int ud, int eot) {
  return Call<DriverFunction::ibeot, int(int, int)>(ud, eot);
}
int GpibBinding::ibloc(int ud) {
  return Call<DriverFunction::ibloc, int(int)>(ud);
}
int GpibBinding::ibonl(int ud, int online) {
  return Call<DriverFunction::ibonl, int(int, int)>(ud, online);
}
int GpibBinding::ibrd(int ud, void* buffer, long count) {
  return Call<DriverFunction::ibrd, int(int, void*, long)>(ud, buffer, count);
}
int GpibBinding::ibsic(int ud) {
  return Call<DriverFunction::ibsic, int(int)>(ud);
}
int GpibBinding::ibtmo(int ud, int tmo) {
  return Call<DriverFunction::ibtmo, int(int, int)>(ud, tmo);
}
int GpibBinding::ibwrt(int ud, const void* buffer, long count) {
  return Call<DriverFunction::ibwrt, int(int, const void*, long)>(ud, buffer, count);
}

}  // namespace pelvane::ports::gpib
