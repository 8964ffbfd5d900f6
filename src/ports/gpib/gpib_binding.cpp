#include "ports/gpib/gpib_binding.h"

#include <algorithm>
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

std::size_t ByteCount(long count) {
  return static_cast<std::size_t>(std::max(count, 0L));
}

}  // namespace

std::vector<std::string> LibraryCandidates(const char* named) {
  if (named != nullptr && *named != '\0') return {named};
  const auto& libraries = PlatformDriverNames().libraries;
  return {libraries.begin(), libraries.end()};
}

std::vector<std::string> DefaultLibraryNames() {
  return LibraryCandidates(std::getenv(kLibraryVariable));
}

const char* DriverFunctionName(DriverFunction f) {
  return kNames.at(Index(f));
}

GpibBinding::GpibBinding(LibraryNames libraryNames) : libraryNames_(std::move(libraryNames)) {}

GpibBinding& GpibBinding::Process() {
  static GpibBinding binding;
  return binding;
}

std::string GpibBinding::loadError() const {
  std::lock_guard lock(mutex_);
  return missed_.load(std::memory_order_relaxed) ? loadError_ : std::string();
}

bool GpibBinding::EnsureLoaded() {
  if (library_) return true;
  // The first candidate that loads is the driver; when none does, the failure
  // reports every file tried with the first one's system code.
  std::optional<LoadFailure> failed;
  for (const std::string& name : libraryNames_()) {
    LoadFailure failure;
    std::optional<DynamicLibrary> library = DynamicLibrary::Load(name, &failure);
    if (library && FindStatus(*library, &failure)) {
      library_ = std::move(library);
      return true;
    }
    // A driver that reports the outcome of no call is as good as missing.
    if (library) library->Unload();
    if (failed) {
      failed->text += "; " + failure.text;
    } else {
      failed = std::move(failure);
    }
  }
  RecordFailure(failed.value_or(LoadFailure{ENOENT, "no GPIB driver library to load"}));
  return false;
}

bool GpibBinding::FindStatus(const DynamicLibrary& library, LoadFailure* failure) {
  const DriverNames& names = PlatformDriverNames();
  LoadFailure ignored;
  StatusVariables variables{static_cast<volatile int*>(library.Find(names.ibsta, &ignored)),
                            static_cast<volatile int*>(library.Find(names.iberr, &ignored)),
                            static_cast<volatile long*>(library.Find(names.ibcntl, &ignored))};
  if (variables.ibsta != nullptr && variables.iberr != nullptr && variables.ibcntl != nullptr) {
    variables_ = variables;
    functions_ = {};
    return true;
  }
  StatusFunctions functions{reinterpret_cast<int (*)()>(library.Find("ThreadIbsta", &ignored)),
                            reinterpret_cast<int (*)()>(library.Find("ThreadIberr", &ignored)),
                            reinterpret_cast<int (*)()>(library.Find("ThreadIbcnt", &ignored))};
  if (functions.ibsta != nullptr && functions.iberr != nullptr && functions.ibcnt != nullptr) {
    variables_ = {};
    functions_ = functions;
    return true;
  }
  failure->systemError = ignored.systemError;
  failure->text = library.name() + ": exports neither the status variables " + names.ibsta + ", " +
                  names.iberr + " and " + names.ibcntl +
                  " nor the functions ThreadIbsta, ThreadIberr and ThreadIbcnt";
  return false;
}

void GpibBinding::RecordFailure(const LoadFailure& failure) {
  loadError_ = failure.text;
  missed_.store(true, std::memory_order_relaxed);
  ibsta_.store(kErr, std::memory_order_relaxed);
  iberr_.store(kEdvr, std::memory_order_relaxed);
  ibcnt_.store(failure.systemError, std::memory_order_relaxed);
  ibcntl_.store(failure.systemError, std::memory_order_relaxed);
}

void* GpibBinding::Resolve(DriverFunction f) {
  std::atomic<void*>& entry = entries_[Index(f)];
  if (void* address = entry.load(std::memory_order_acquire)) return address;
  std::lock_guard lock(mutex_);
  if (!EnsureLoaded()) return nullptr;
  LoadFailure failure;
  void* address = library_->Find(DriverFunctionName(f), &failure);
  if (address == nullptr) {
    RecordFailure(failure);
    return nullptr;
  }
  entry.store(address, std::memory_order_release);
  return address;
}

void GpibBinding::Refresh() {
  int status = 0;
  int error = 0;
  long count = 0;
  if (variables_.ibsta != nullptr) {
    // The driver keeps ibcnt as an int that overflows on long transfers;
    // ibcntl holds the whole count, so both words are taken from it.
    status = *variables_.ibsta;
    error = *variables_.iberr;
    count = *variables_.ibcntl;
  } else {
    // Per-thread words, read on the thread that made the call.
    status = functions_.ibsta();
    error = functions_.iberr();
    count = functions_.ibcnt();
  }
  ibsta_.store(status, std::memory_order_relaxed);
  iberr_.store(error, std::memory_order_relaxed);
  ibcnt_.store(count, std::memory_order_relaxed);
  ibcntl_.store(count, std::memory_order_relaxed);
}

template <DriverFunction F, class Signature, class... Args>
int GpibBinding::Call(Args... args) {
  void* address = Resolve(F);
  if (address == nullptr) return F == DriverFunction::ibdev ? -1 : ibsta();
  const int result = reinterpret_cast<Signature*>(address)(args...);
  missed_.store(false, std::memory_order_relaxed);
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
// Counts go to the driver as size_t, which NI's 64-bit interface takes; the
// older interfaces' long is passed in the same register and reads the same for
// any count from 0 up. A negative count asks for nothing.
int GpibBinding::ibrd(int ud, void* buffer, long count) {
  return Call<DriverFunction::ibrd, int(int, void*, std::size_t)>(ud, buffer, ByteCount(count));
}
int GpibBinding::ibsic(int ud) {
  return Call<DriverFunction::ibsic, int(int)>(ud);
}
int GpibBinding::ibtmo(int ud, int tmo) {
  return Call<DriverFunction::ibtmo, int(int, int)>(ud, tmo);
}
int GpibBinding::ibwrt(int ud, const void* buffer, long count) {
  return Call<DriverFunction::ibwrt, int(int, const void*, std::size_t)>(ud, buffer,
                                                                         ByteCount(count));
}

}  // namespace pelvane::ports::gpib
