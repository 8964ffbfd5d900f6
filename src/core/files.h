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

struct WholeWrite {
  bool ok = false;
  std::string error;    // the system's reason, with the file's name
  std::string written;  // where the bytes went: the name, or one beside it (below)
};

// Writes `bytes` under `target` whole or not at all: into a new file created
// exclusively beside it (never through a link, never a FIFO or device),
// flushed to the disk, then renamed onto the name. A file it replaces keeps
// its permissions. With kNever an existing file is never replaced, not even
// one that appeared while the bytes were written: the bytes then go to the
// first free name of "<target>.1", "<target>.2", ... and `written` says so.
WholeWrite WriteWholeFile(const std::string& target, std::span<const std::uint8_t> bytes,
                          Overwrite overwrite);

enum class ReadOutcome { kRead, kMissing, kNotRegular, kTooLarge, kFailed };

// Reads a regular file of at most `limit` bytes: a link is not followed, and a
// FIFO, device or folder is refused without waiting on it. `error` gets the
// system's reason for kFailed.
ReadOutcome ReadWholeFile(const std::string& path, std::size_t limit,
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

// Removes a file; false when it was not there or could not be removed.
bool RemoveFile(const std::string& path);

}  // namespace pelvane::core
