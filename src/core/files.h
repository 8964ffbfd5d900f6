// Files as Pelvane uses them on every platform. Paths are UTF-8 text inside
// the program; the conversion to what the system takes (UTF-16 on Windows)
// happens here and nowhere else. Writes that matter go whole or not at all,
// and reading a file the program did not write is bounded.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pelvane::core {

// A UTF-8 path as the system's path type, and back.
std::filesystem::path PathFromUtf8(std::string_view utf8);
std::string Utf8FromPath(const std::filesystem::path& path);

// fopen for a UTF-8 path.
std::FILE* OpenStream(const std::string& path, const char* mode);

// What a name is now; a symbolic link is reported as such, not followed.
enum class FileKind { kMissing, kRegular, kDirectory, kLink, kOther /* FIFO, device, socket */ };
FileKind KindOf(const std::string& path);

// Which file a name reaches and how it looked: two names of one file have
// the same volume and file number. Nothing when the name reaches no file.
struct FileStamp {
  std::uint64_t volume = 0;
  std::uint64_t file = 0;
  std::int64_t bytes = 0;
  std::int64_t modified = 0;  // nanoseconds (or the system's finest unit) since its epoch
  friend bool operator==(const FileStamp&, const FileStamp&) = default;
};
std::optional<FileStamp> StampOf(const std::string& path);

// True when both names reach one existing file (a link, another spelling, a
// hard link). std::filesystem::equivalent cannot be trusted for this on every
// platform's library.
bool SameFile(const std::string& a, const std::string& b);

// Whether an existing file that holds data may be replaced.
enum class Overwrite { kNever, kAgreed };

// Who may read a file the program writes: anyone the process's file mode
// mask lets, or only its owner (logs that hold an instrument's calibration
// bytes). Windows leaves this to the folder's access rules.
enum class Access { kShared, kPrivate };

struct WholeWrite {
  bool ok = false;
  std::string error;    // the system's reason, with the file's name
  std::string written;  // where the bytes went: the name, or one beside it (below)
};

// The one writer of every file a run leaves: the bytes go into a new file
// created exclusively beside the target (never through a link, never a FIFO
// or device), and reach the name only with Finish, flushed to the disk first.
// A file it replaces keeps its permissions (with kPrivate at most the
// owner's). With kNever an existing file is never replaced, not even one that
// appeared while the bytes were written: they then go to the first free name
// of "<target>.1", "<target>.2", ... and `written` says so. A file that is
// neither finished nor abandoned is removed when the object goes.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile() { Abandon(); }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Makes the new file beside `target`; false, with the reason in `error`,
  // when `target` is a folder, FIFO or device or its folder takes no file.
  bool Create(const std::string& target, Access access, std::string* error);
  bool IsOpen() const { return stream_ != nullptr; }
  // Adds bytes through a large buffer. False once a write has failed (a full
  // disk, a file size limit): the rest is not written, and Finish fails with
  // that reason.
  bool Write(std::span<const std::uint8_t> bytes);
  bool Write(std::string_view text);
  // Flushes the bytes to the disk and gives them their name; the file is
  // removed when that fails.
  WholeWrite Finish(Overwrite overwrite);
  // Removes the file; nothing reaches the target.
  void Abandon();

 private:
  std::FILE* stream_ = nullptr;
  std::string target_;
  std::string temporary_;
  Access access_ = Access::kShared;
  std::string writeError_;  // the reason of the first failed write
};

// Writes `bytes` under `target` whole or not at all, through OutputFile.
WholeWrite WriteWholeFile(const std::string& target, std::span<const std::uint8_t> bytes,
                          Overwrite overwrite, Access access = Access::kShared);

// Why nothing can be written under `path` now: an existing folder, FIFO or
// device there, or a folder that takes no new file; empty when it can.
std::string OutputProblem(const std::string& path);

// True when two outputs would end up in one file: both names reach one
// existing file, or neither exists yet and both name the same place in one
// folder.
bool SameOutput(const std::string& a, const std::string& b);

enum class ReadOutcome { kRead, kMissing, kNotRegular, kTooLarge, kFailed };

// Reads a regular file of at most `limit` bytes: a link is not followed, and a
// FIFO, device or folder is refused without waiting on it. `error` gets the
// system's reason for kFailed.
ReadOutcome ReadWholeFile(const std::string& path, std::size_t limit,
                          std::vector<std::uint8_t>* bytes, std::string* error = nullptr);
// The same for at most the first `count` bytes of a file of any size (a
// file's kind told by how it starts).
ReadOutcome ReadFileStart(const std::string& path, std::size_t count,
                          std::vector<std::uint8_t>* bytes, std::string* error = nullptr);

// True when a new file can be created in `folder` now (a probe file is made
// and removed); otherwise `error` says why.
bool FolderWritable(const std::string& folder, std::string* error);

// A new, empty file in the system's folder for temporary files, its name
// starting with `prefix`; empty, with the reason in `error`, when none can be
// made.
std::string CreateTemporaryFile(std::string_view prefix, std::string* error);

// Why `name` cannot be the name of one file in a folder on this system; empty
// when it can. Everywhere: no name, "." and "..", a folder separator, a control
// character; on Windows also the characters it forbids (<>:"/\|?*), a blank or
// dot at the end and the names of devices (CON, NUL, COM1, LPT1, ...).
std::string FileNameProblem(std::string_view name);

// True when two names in one folder reach one file on this system: when they
// are equal on POSIX systems, also when they differ only in case on Windows.
bool FileNamesEqual(std::string_view a, std::string_view b);

// Removes a file; false when it was not there or could not be removed.
bool RemoveFile(const std::string& path);

// Files that must not outlive the process, also when it ends without
// unwinding (a forced exit after a second stop request): a device's lock
// file, a temporary copy, an output still on its way. Registered while they
// exist; RemoveTransientFiles removes them and is safe to call from any thread.
void RegisterTransientFile(const std::string& path);
void UnregisterTransientFile(const std::string& path);
void RemoveTransientFiles();

}  // namespace pelvane::core
