#include "ports/serial_line/posix/uucp_lock.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "core/files.h"

namespace pelvane::ports::serial_line {

namespace {

namespace fs = std::filesystem;

// The lock folder is writable by everyone, so what is found under a lock's
// name is read with care: never through a link, never waiting on a FIFO, and
// no more than a lock of either format holds.
constexpr std::size_t kLockBytes = 64;

struct LockContent {
  pid_t pid = 0;        // 0: no pid in it (a stale or broken lock)
  std::string foreign;  // why it is no lock file at all; empty when it is one
  bool missing = false;
};

// The pid a lock file names, in either of the convention's formats (ten
// ASCII digits and a line feed, or a binary int).
LockContent ReadLock(const std::string& path) {
  LockContent lock;
  std::vector<std::uint8_t> bytes;
  switch (core::ReadWholeFile(path, kLockBytes, &bytes)) {
    case core::ReadOutcome::kMissing:
      lock.missing = true;
      return lock;
    case core::ReadOutcome::kNotRegular:
      lock.foreign = "not a regular file (a folder, FIFO, link or device)";
      return lock;
    case core::ReadOutcome::kTooLarge:
      lock.foreign = "larger than any lock file";
      return lock;
    case core::ReadOutcome::kFailed:
      lock.foreign = "unreadable";
      return lock;
    case core::ReadOutcome::kRead:
      break;
  }
  const std::string text(bytes.begin(), bytes.end());
  if (text.size() == sizeof(int) && text.find_first_of("0123456789") == std::string::npos) {
    int binary = 0;
    std::copy(text.begin(), text.end(), reinterpret_cast<char*>(&binary));
    lock.pid = binary;
  } else {
    lock.pid = static_cast<pid_t>(std::atol(text.c_str()));
  }
  return lock;
}

bool Alive(pid_t pid) {
  return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
}

std::string ProgramName(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(in, name);
  return name;
}

}  // namespace

std::string UucpLock::LockName(const std::string& device) {
  std::error_code ec;
  fs::path real = fs::canonical(device, ec);
  if (ec) real = device;
  std::string name = real.lexically_relative("/dev").string();
  if (name.empty() || name.rfind("..", 0) == 0) name = real.filename().string();
  for (char& c : name)
    if (c == '/') c = '_';
  return "LCK.." + name;
}

UucpLock::Outcome UucpLock::Acquire(const std::string& device, const std::string& folder) {
  Release();
  holderPid_ = 0;
  holderName_.clear();
  foreignReason_.clear();
  path_ = folder + "/" + LockName(device);
  // Two tries: the second after removing a lock whose process is gone.
  for (int attempt = 0; attempt < 2; ++attempt) {
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      char text[16];
      const int n = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
      const bool written = ::write(fd, text, static_cast<std::size_t>(n)) == n;
      ::close(fd);
      if (!written) {
        ::unlink(path_.c_str());
        return Outcome::kUnavailable;
      }
      owned_ = true;
      // Removed also when the program is made to end at once (a second
      // Ctrl-C), so that the device is not left looking busy.
      core::RegisterTransientFile(path_);
      return Outcome::kTaken;
    }
    if (errno != EEXIST) return Outcome::kUnavailable;
    const LockContent found = ReadLock(path_);
    if (!found.foreign.empty()) {
      foreignReason_ = found.foreign;
      return Outcome::kForeign;
    }
    if (found.missing) continue;  // its holder removed it meanwhile
    const pid_t holder = found.pid;
    if (holder == ::getpid()) return Outcome::kUnavailable;  // counted by the open-count table
    if (Alive(holder)) {
      holderPid_ = holder;
      holderName_ = ProgramName(holder);
      return Outcome::kHeld;
    }
    ::unlink(path_.c_str());
  }
  return Outcome::kUnavailable;
}

void UucpLock::Release() {
  if (!owned_) return;
  owned_ = false;
  core::UnregisterTransientFile(path_);
  if (ReadLock(path_).pid == ::getpid()) ::unlink(path_.c_str());
}

}  // namespace pelvane::ports::serial_line
