// Run-time binding to the IEEE-488 driver library.
//
// The driver is not linked: it is loaded on the first call that needs it, so
// the GPIB port can be created, and fails cleanly, on a computer without it.
// The library is the platform's driver (linux-gpib's "libgpib.so.0" on Linux,
// NI-488.2's "GPIB-32.DLL", then "ni4882.dll" on Windows) unless the
// environment variable PELVANE_GPIB_LIBRARY names another file (a driver of
// the same interface, such as the project's own test driver that talks to the
// instrument simulator).
//
// Threading: the status words are process-wide, like the driver's own: every
// wrapped call overwrites them and a caller reads them right after its call.
// That is safe because one port is used by one thread at a time. Loading and the
// symbol table are guarded so that two bindings in use at once stay sound.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ports/gpib/driver_library.h"

namespace pelvane::ports::gpib {

inline constexpr const char* kLibraryVariable = "PELVANE_GPIB_LIBRARY";

// The libraries to try, in order: `named` (the value of PELVANE_GPIB_LIBRARY)
// alone when it is set and not empty, else the platform's driver files.
std::vector<std::string> LibraryCandidates(const char* named);

// The candidates now. The variable is read at every load attempt, so a failed
// load can be mended without restarting the program.
std::vector<std::string> DefaultLibraryNames();

// The driver functions that are wrapped; the port uses ibdev, ibsic, ibtmo,
// ibrd, ibwrt and ibonl.
enum class DriverFunction : std::size_t {
  ibask,
  ibclr,
  ibconfig,
  ibdev,
  ibeos,
  ibeot,
  ibloc,
  ibonl,
  ibrd,
  ibsic,
  ibtmo,
  ibwrt,
  kCount
};

const char* DriverFunctionName(DriverFunction f);

class GpibBinding {
 public:
  using LibraryNames = std::function<std::vector<std::string>()>;

  explicit GpibBinding(LibraryNames libraryNames = DefaultLibraryNames);
  // The library stays loaded for the life of the process: a driver may keep
  // threads or handlers that must not lose their code.
  ~GpibBinding() = default;
  GpibBinding(const GpibBinding&) = delete;
  GpibBinding& operator=(const GpibBinding&) = delete;

  // The binding that the ports of this process share.
  static GpibBinding& Process();

  // The wrappers. Each loads the library if needed, finds its function once and
  // keeps the address. When no library loads, the one that loads has neither
  // its status variables nor the status functions, or the function is missing,
  // the status words say ERR with EDVR and the system's error code in ibcntl,
  // nothing is called, and the result is -1 for ibdev and ibsta for the
  // others; the next call tries again.
  int ibask(int ud, int option, int* value);
  int ibclr(int ud);
  int ibconfig(int ud, int option, int value);
  int ibdev(int board, int pad, int sad, int tmo, int eot, int eos);
  int ibeos(int ud, int eos);
  int ibeot(int ud, int eot);
  int ibloc(int ud);
  int ibonl(int ud, int online);
  int ibrd(int ud, void* buffer, long count);
  int ibsic(int ud);
  int ibtmo(int ud, int tmo);
  int ibwrt(int ud, const void* buffer, long count);

  // Status words as the last wrapped call left them.
  int ibsta() const { return ibsta_.load(std::memory_order_relaxed); }
  int iberr() const { return iberr_.load(std::memory_order_relaxed); }
  long ibcnt() const { return ibcnt_.load(std::memory_order_relaxed); }
  long ibcntl() const { return ibcntl_.load(std::memory_order_relaxed); }

  // Why the last wrapped call did not reach the driver ("" when it did): the
  // loader's own text, naming the file or symbol, which the port passes on to
  // the user.
  std::string loadError() const;

 private:
  // Where the status of the last call is read. Drivers of the older interface
  // (linux-gpib, GPIB-32.DLL) export variables; NI's 64-bit ni4882.dll offers
  // the same words through per-thread functions only.
  struct StatusVariables {
    volatile int* ibsta = nullptr;
    volatile int* iberr = nullptr;
    volatile long* ibcntl = nullptr;
  };
  struct StatusFunctions {
    int (*ibsta)() = nullptr;
    int (*iberr)() = nullptr;
    int (*ibcnt)() = nullptr;
  };

  template <DriverFunction F, class Signature, class... Args>
  int Call(Args... args);

  // The function's address, or nullptr after recording the failure.
  void* Resolve(DriverFunction f);
  bool EnsureLoaded();  // with mutex_ held
  // Finds the status variables or functions of a loaded library; false after
  // filling `failure`.
  bool FindStatus(const DynamicLibrary& library, LoadFailure* failure);
  void RecordFailure(const LoadFailure& failure);
  void Refresh();

  LibraryNames libraryNames_;
  mutable std::mutex mutex_;  // guards loading: library_, the status sources, loadError_
  std::optional<DynamicLibrary> library_;
  StatusVariables variables_;
  StatusFunctions functions_;
  std::string loadError_;
  std::atomic<bool> missed_{false};  // the last call did not reach the driver
  std::array<std::atomic<void*>, static_cast<std::size_t>(DriverFunction::kCount)> entries_{};

  std::atomic<int> ibsta_{0};
  std::atomic<int> iberr_{0};
  std::atomic<long> ibcnt_{0};
  std::atomic<long> ibcntl_{0};
};

}  // namespace pelvane::ports::gpib
