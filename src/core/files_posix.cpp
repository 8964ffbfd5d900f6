// Files on POSIX systems: paths are bytes, taken as UTF-8 as they stand.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "core/files.h"
#include "core/system_error.h"

namespace pelvane::core {
namespace {

std::string FolderOf(const std::string& path) {
  const std::string folder = std::filesystem::path(path).parent_path().string();
  return folder.empty() ? "." : folder;
}

std::string Reason(const std::string& path, int errnum = errno) {
  return path + ": " + std::strerror(errnum);
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

// Gives `from` the name `to` only while no file has it. Linux says so in one
// call; file systems without that call get a hard link, which fails the
// same way on a taken name, and the old name is removed after.
int RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  if (::link(from.c_str(), to.c_str()) == 0) {
    ::unlink(from.c_str());
    return 0;
  }
  if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS) return errno;
  // A file system with neither (some network shares): the name is looked at
  // first, which leaves only the moment between the look and the rename.
  struct stat taken {};
  if (::lstat(to.c_str(), &taken) == 0) return EEXIST;
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

void SyncFolder(const std::string& folder) {
  if (const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
}

}  // namespace

std::filesystem::path PathFromUtf8(std::string_view utf8) {
  return std::filesystem::path(std::string(utf8));
}

std::string Utf8FromPath(const std::filesystem::path& path) {
  return path.string();
}

std::FILE* OpenStream(const std::string& path, const char* mode) {
  return std::fopen(path.c_str(), mode);
}

FileKind KindOf(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return FileKind::kMissing;
  if (S_ISREG(info.st_mode)) return FileKind::kRegular;
  if (S_ISDIR(info.st_mode)) return FileKind::kDirectory;
  if (S_ISLNK(info.st_mode)) return FileKind::kLink;
  return FileKind::kOther;
}

std::optional<FileStamp> StampOf(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return FileStamp{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
                   static_cast<std::int64_t>(info.st_size),
                   info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec};
}

bool OutputFile::Create(const std::string& target, Access access, std::string* error) {
  Abandon();
  struct stat existing {};
  if (::lstat(target.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode) &&
      !S_ISLNK(existing.st_mode)) {
    if (error) *error = target + ": not a regular file";
    return false;
  }
  std::string temporary = FolderOf(target) + "/.pelvane-XXXXXX";
  // mkostemp creates exclusively (O_EXCL): it never opens an existing file,
  // follows a link planted under the name, or waits on a FIFO.
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = Reason(target);
    return false;
  }
  stream_ = ::fdopen(fd, "wb");
  if (stream_ == nullptr) {
    if (error) *error = Reason(target);
    ::close(fd);
    ::unlink(temporary.c_str());
    return false;
  }
  // Large writes of a long run (a trace) must not wait for the disk.
  std::setvbuf(stream_, nullptr, _IOFBF, 1 << 16);
  target_ = target;
  temporary_ = std::move(temporary);
  RegisterTransientFile(temporary_);
  access_ = access;
  writeError_.clear();
  return true;
}

bool OutputFile::Write(std::span<const std::uint8_t> bytes) {
  if (stream_ == nullptr || !writeError_.empty()) return false;
  if (bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), stream_) == bytes.size())
    return true;
  writeError_ = Reason(target_);
  return false;
}

WholeWrite OutputFile::Finish(Overwrite overwrite) {
  WholeWrite result;
  if (stream_ == nullptr) {
    result.error = target_ + ": no file to finish";
    return result;
  }
  const int fd = ::fileno(stream_);
  // A replaced file keeps its permissions (a backup kept private stays so);
  // a new one gets those of a plain new file, not mkostemp's owner-only ones.
  struct stat existing {};
  const bool replaces = overwrite == Overwrite::kAgreed &&
                        ::lstat(target_.c_str(), &existing) == 0 && S_ISREG(existing.st_mode);
  mode_t mode = replaces ? (existing.st_mode & 07777) : (0666 & ~CurrentUmask());
  if (access_ == Access::kPrivate) mode &= 0600;
  result.error = writeError_;
  if (result.error.empty() &&
      (std::fflush(stream_) != 0 || ::fchmod(fd, mode) != 0 || ::fsync(fd) != 0))
    result.error = Reason(target_);
  if (std::fclose(stream_) != 0 && result.error.empty()) result.error = Reason(target_);
  stream_ = nullptr;
  std::string destination = target_;
  if (result.error.empty() && overwrite == Overwrite::kAgreed) {
    // rename replaces a link of that name itself, not the file it points to.
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) result.error = Reason(target_);
  } else if (result.error.empty()) {
    int errnum = EEXIST;
    for (int n = 1; errnum == EEXIST && n <= 1000; ++n) {
      errnum = RenameNoReplace(temporary_, destination);
      if (errnum == EEXIST) destination = target_ + "." + std::to_string(n);
    }
    if (errnum != 0) result.error = Reason(target_, errnum);
  }
  if (!result.error.empty()) {
    Abandon();
    return result;
  }
  UnregisterTransientFile(temporary_);
  temporary_.clear();
  // The rename is on the disk only once the folder is.
  SyncFolder(FolderOf(target_));
  result.ok = true;
  result.written = destination;
  return result;
}

void OutputFile::Abandon() {
  if (stream_ != nullptr) std::fclose(stream_);
  stream_ = nullptr;
  if (temporary_.empty()) return;
  UnregisterTransientFile(temporary_);
  ::unlink(temporary_.c_str());
  temporary_.clear();
}

namespace {

// A regular file's bytes, at most `limit`; with `whole` a larger file is
// refused, otherwise its first `limit` bytes are read.
ReadOutcome ReadRegularFile(const std::string& path, std::size_t limit, bool whole,
                            std::vector<std::uint8_t>* bytes, std::string* error) {
  bytes->clear();
  // Non-blocking, so that a FIFO planted under the name cannot stall the
  // open; not through a link, so that it cannot lead elsewhere.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return ReadOutcome::kMissing;
    if (errno == ELOOP) return ReadOutcome::kNotRegular;
    if (error) *error = Reason(path);
    return ReadOutcome::kFailed;
  }
  struct stat info {};
  ReadOutcome outcome = ReadOutcome::kRead;
  if (::fstat(fd, &info) != 0) {
    if (error) *error = Reason(path);
    outcome = ReadOutcome::kFailed;
  } else if (!S_ISREG(info.st_mode)) {
    outcome = ReadOutcome::kNotRegular;
  } else if (whole && static_cast<std::uint64_t>(info.st_size) > limit) {
    outcome = ReadOutcome::kTooLarge;
  }
  std::uint8_t chunk[4096];
  while (outcome == ReadOutcome::kRead && bytes->size() < limit + (whole ? 1 : 0)) {
    const std::size_t wanted = std::min(sizeof chunk, limit + (whole ? 1 : 0) - bytes->size());
    const ssize_t n = ::read(fd, chunk, wanted);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (error) *error = Reason(path);
      outcome = ReadOutcome::kFailed;
    } else if (n == 0) {
      break;
    } else {
      bytes->insert(bytes->end(), chunk, chunk + n);
    }
  }
  // A file that grew while it was read.
  if (outcome == ReadOutcome::kRead && bytes->size() > limit) outcome = ReadOutcome::kTooLarge;
  ::close(fd);
  if (outcome != ReadOutcome::kRead) bytes->clear();
  return outcome;
}

}  // namespace

ReadOutcome ReadWholeFile(const std::string& path, std::size_t limit,
                          std::vector<std::uint8_t>* bytes, std::string* error) {
  return ReadRegularFile(path, limit, true, bytes, error);
}

ReadOutcome ReadFileStart(const std::string& path, std::size_t count,
                          std::vector<std::uint8_t>* bytes, std::string* error) {
  return ReadRegularFile(path, count, false, bytes, error);
}

bool FolderWritable(const std::string& folder, std::string* error) {
  std::string probe = (folder.empty() ? std::string(".") : folder) + "/.pelvane-XXXXXX";
  const int fd = ::mkstemp(probe.data());
  if (fd < 0) {
    if (error) *error = std::strerror(errno);
    return false;
  }
  ::close(fd);
  ::unlink(probe.c_str());
  return true;
}

std::string CreateTemporaryFile(std::string_view prefix, std::string* error) {
  const char* named = std::getenv("TMPDIR");
  const std::string folder = (named != nullptr && *named != '\0') ? named : "/tmp";
  std::string name = folder + "/" + std::string(prefix) + "XXXXXX";
  const int fd = ::mkstemp(name.data());
  if (fd < 0) {
    if (error) *error = "cannot create a temporary file in " + folder + ": " + std::strerror(errno);
    return {};
  }
  ::close(fd);
  return name;
}

std::string FileNameProblem(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return "no file name";
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return "a control character";
    if (c == '/') return "a folder separator";
  }
  return {};
}

bool FileNamesEqual(std::string_view a, std::string_view b) {
  return a == b;
}

bool RemoveFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0;
}

}  // namespace pelvane::core
