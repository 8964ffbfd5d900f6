#include "upload/read_back_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace pelvane::upload {

namespace {

std::string ErrnoText(const std::string& path) {
  return " " + std::string(std::strerror(errno)) + " " + path;
}

std::string FolderOf(const std::string& path) {
  const std::string folder = std::filesystem::path(path).parent_path().string();
  return folder.empty() ? "." : folder;
}

// The regular file's contents, not followed through a link; nothing when
// there is no such file.
bool ReadExisting(const std::string& path, std::vector<std::uint8_t>* bytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  std::uint8_t chunk[4096];
  while (ok) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    bytes->insert(bytes->end(), chunk, chunk + n);
  }
  ::close(fd);
  return ok;
}

// The process's file mode mask, read without changing it: umask() both reads
// and sets, and another thread creating a file meanwhile would get no mask.
mode_t CurrentUmask() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("Umask:", 0) == 0)
      return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8) & 0777);
  return 022;
}

bool AllErased(std::span<const std::uint8_t> data) {
  return std::all_of(data.begin(), data.end(), [](std::uint8_t b) { return b == 0xFF; });
}

bool WriteAll(int fd, std::span<const std::uint8_t> data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

std::string ErasedReadName(const std::string& target) {
  return target + ".erased";
}

ReadBackWrite WriteReadBackFile(const std::string& target, std::span<const std::uint8_t> data) {
  ReadBackWrite result;
  std::string destination = target;
  // A retry after a run that erased the flash and then failed reads 0xFF
  // where the calibration was: the backup of the first run is the only copy.
  if (AllErased(data) && !data.empty()) {
    std::vector<std::uint8_t> old;
    if (ReadExisting(target, &old) && !AllErased(old)) {
      result.keptExisting = true;
      result.kept = std::move(old);
      destination = ErasedReadName(target);
    }
  }

  std::string temporary = FolderOf(destination) + "/.pelvane-read-XXXXXX";
  // mkstemp creates exclusively (O_EXCL): it never opens an existing file
  // or follows a link planted under the name.
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) {
    result.error = ErrnoText(destination);
    return result;
  }
  // The mode a plain new file gets, not mkstemp's owner-only one.
  bool ok = ::fchmod(fd, 0666 & ~CurrentUmask()) == 0 && WriteAll(fd, data) && ::fsync(fd) == 0;
  if (!ok) result.error = ErrnoText(destination);
  if (::close(fd) != 0 && ok) {
    ok = false;
    result.error = ErrnoText(destination);
  }
  // rename replaces a link of that name itself, not the file it points to.
  if (ok && ::rename(temporary.c_str(), destination.c_str()) != 0) {
    ok = false;
    result.error = ErrnoText(destination);
  }
  if (!ok) {
    ::unlink(temporary.c_str());
    return result;
  }
  // The rename is on disk only once the folder is.
  if (const int dir = ::open(FolderOf(destination).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  result.ok = true;
  result.written = destination;
  return result;
}

}  // namespace pelvane::upload
