#include "ports/serial_line/posix/uucp_lock.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace pelvane::ports::serial_line {

namespace {

namespace fs = std::filesystem;

// The pid a lock file names, in either of the convention's formats (ten
// ASCII digits and a line feed, or a binary int); 0 when unreadable.
pid_t ReadPid(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), {});
  if (text.size() == sizeof(int) && text.find_first_of("0123456789") == std::string::npos) {
    int binary = 0;
    std::copy(text.begin(), text.end(), reinterpret_cast<char*>(&binary));
    return binary;
  }
  return static_cast<pid_t>(std::atol(text.c_str()));
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
      return Outcome::kTaken;
    }
    if (errno != EEXIST) return Outcome::kUnavailable;
    const pid_t holder = ReadPid(path_);
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
  if (ReadPid(path_) == ::getpid()) ::unlink(path_.c_str());
}

}  // namespace pelvane::ports::serial_line
