// The UUCP lock file convention for serial devices (/run/lock/LCK..ttyUSB0,
// holding the owner's pid): minicom, screen, cu and ModemManager-aware tools
// take a device this way instead of, or besides, flock. Honouring it keeps
// Pelvane from writing into a line another program has open; creating it
// keeps those programs out of an update.
#pragma once

#include <sys/types.h>

#include <string>

namespace pelvane::ports::serial_line {

inline constexpr const char* kLockFolder = "/run/lock";

class UucpLock {
 public:
  enum class Outcome {
    kTaken,  // the lock is ours until Release or destruction
    kHeld,   // another live process holds it: see HolderPid/HolderName
    // Something else has the lock's name: a FIFO, a folder, a file far
    // larger than a pid or one we may not read (ForeignReason says which).
    // Nobody can tell whether a program uses the device, so it counts as held.
    kForeign,
    kUnavailable,  // no lock folder we may write: go on without the convention
  };

  UucpLock() = default;
  ~UucpLock() { Release(); }
  UucpLock(const UucpLock&) = delete;
  UucpLock& operator=(const UucpLock&) = delete;

  // Takes the lock of `device` (a path; links such as /dev/serial/by-id/...
  // are followed, so every name of one device meets the same lock). A lock
  // whose process is gone is removed first.
  Outcome Acquire(const std::string& device, const std::string& folder = kLockFolder);
  // Removes the lock file if it is ours.
  void Release();

  pid_t HolderPid() const { return holderPid_; }
  std::string HolderName() const { return holderName_; }
  const std::string& ForeignReason() const { return foreignReason_; }
  const std::string& Path() const { return path_; }

  // "LCK..ttyUSB0" for /dev/ttyUSB0; a device in a folder under /dev gets its
  // path with '_' for '/' ("LCK..pts_3").
  static std::string LockName(const std::string& device);

 private:
  std::string path_;
  bool owned_ = false;
  pid_t holderPid_ = 0;
  std::string holderName_;
  std::string foreignReason_;
};

}  // namespace pelvane::ports::serial_line
