// Files on Windows: every call takes the UTF-16 form of the program's UTF-8
// paths, so names outside the ANSI code page work.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cwchar>

#include "core/files.h"
#include "core/system_error.h"
#include "core/utf16.h"

namespace pelvane::core {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::wstring Wide(const std::string& path) {
  return Utf16FromUtf8(path);
}

std::string Reason(const std::string& path, DWORD error = ::GetLastError()) {
  return path + ": " + SystemErrorText(static_cast<std::uint32_t>(error));
}

std::string FolderOf(const std::string& path) {
  const std::string folder = Utf8FromPath(PathFromUtf8(path).parent_path());
  return folder.empty() ? "." : folder;
}

struct Handle {
  HANDLE h = INVALID_HANDLE_VALUE;
  explicit Handle(HANDLE handle) : h(handle) {}
  ~Handle() {
    if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool Valid() const { return h != INVALID_HANDLE_VALUE; }
};

// A name in the target's folder that no file has yet, for the bytes on their
// way: the process id and a counter keep two writers apart.
std::string TemporaryNameBeside(const std::string& folder) {
  static std::atomic<unsigned> counter{0};
  return folder + "\\.pelvane-" + std::to_string(::GetCurrentProcessId()) + "-" +
         std::to_string(counter.fetch_add(1)) + ".tmp";
}

// Names that reach a device in every folder, with or without an extension.
bool IsReservedDeviceName(std::string_view name) {
  const std::string stem(name.substr(0, name.find('.')));
  std::string upper;
  for (char c : stem) upper += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  while (!upper.empty() && upper.back() == ' ') upper.pop_back();
  for (const char* reserved : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
    if (upper == reserved) return true;
  return upper.size() == 4 && (upper.rfind("COM", 0) == 0 || upper.rfind("LPT", 0) == 0) &&
         upper[3] >= '0' && upper[3] <= '9';
}

bool IsReparsePointOrDevice(DWORD attributes) {
  return (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) != 0;
}

}  // namespace

std::filesystem::path PathFromUtf8(std::string_view utf8) {
  return std::filesystem::path(Utf16FromUtf8(utf8));
}

std::string Utf8FromPath(const std::filesystem::path& path) {
  return Utf8FromUtf16(path.native());
}

std::FILE* OpenStream(const std::string& path, const char* mode) {
  return ::_wfopen(Wide(path).c_str(), Utf16FromUtf8(mode).c_str());
}

FileKind KindOf(const std::string& path) {
  // A reserved device name (NUL, COM1, ...) is no file, whatever the folder.
  if (IsReservedDeviceName(Utf8FromPath(PathFromUtf8(path).filename()))) return FileKind::kOther;
  const DWORD attributes = ::GetFileAttributesW(Wide(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return FileKind::kMissing;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return FileKind::kLink;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return FileKind::kDirectory;
  if (attributes & FILE_ATTRIBUTE_DEVICE) return FileKind::kOther;
  return FileKind::kRegular;
}

std::optional<FileStamp> StampOf(const std::string& path) {
  // No access rights are needed to read the file's identity, and full sharing
  // keeps the look from disturbing anyone who has the file open.
  Handle file(::CreateFileW(Wide(path).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file.Valid()) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file.h, &info)) return std::nullopt;
  FileStamp stamp;
  stamp.volume = info.dwVolumeSerialNumber;
  stamp.file = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  stamp.bytes =
      static_cast<std::int64_t>((std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow);
  stamp.modified =
      static_cast<std::int64_t>((std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) |
                                info.ftLastWriteTime.dwLowDateTime);
  return stamp;
}

bool OutputFile::Create(const std::string& target, Access access, std::string* error) {
  Abandon();
  if (const FileKind kind = KindOf(target);
      kind == FileKind::kDirectory || kind == FileKind::kOther) {
    if (error) *error = target + ": not a regular file";
    return false;
  }
  const std::string folder = FolderOf(target);
  std::string temporary;
  HANDLE created = INVALID_HANDLE_VALUE;
  for (int tries = 0; tries < 100 && created == INVALID_HANDLE_VALUE; ++tries) {
    temporary = TemporaryNameBeside(folder);
    // CREATE_NEW never opens an existing file or follows a link to one.
    created = ::CreateFileW(Wide(temporary).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    if (created == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (created == INVALID_HANDLE_VALUE) {
    if (error) *error = Reason(target);
    return false;
  }
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(created), _O_WRONLY | _O_BINARY);
  stream_ = fd < 0 ? nullptr : ::_fdopen(fd, "wb");
  if (stream_ == nullptr) {
    if (error) *error = target + ": cannot open the new file for writing";
    if (fd < 0)
      ::CloseHandle(created);
    else
      ::_close(fd);
    ::DeleteFileW(Wide(temporary).c_str());
    return false;
  }
  // Large writes of a long run (a trace) must not wait for the disk.
  std::setvbuf(stream_, nullptr, _IOFBF, 1 << 16);
  target_ = target;
  temporary_ = std::move(temporary);
  RegisterTransientFile(temporary_);
  // Who may read it is the folder's access rules' business on Windows.
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
  result.error = writeError_;
  const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream_)));
  if (result.error.empty() && (std::fflush(stream_) != 0 || !::FlushFileBuffers(handle)))
    result.error = Reason(target_);
  if (std::fclose(stream_) != 0 && result.error.empty())
    result.error = target_ + ": the file could not be closed";
  stream_ = nullptr;
  std::string destination = target_;
  if (result.error.empty()) {
    DWORD flags = MOVEFILE_WRITE_THROUGH;
    if (overwrite == Overwrite::kAgreed) flags |= MOVEFILE_REPLACE_EXISTING;
    DWORD error = ERROR_SUCCESS;
    for (int n = 1; n <= 1000; ++n) {
      if (::MoveFileExW(Wide(temporary_).c_str(), Wide(destination).c_str(), flags)) {
        error = ERROR_SUCCESS;
        break;
      }
      error = ::GetLastError();
      if (overwrite == Overwrite::kAgreed ||
          (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS))
        break;
      destination = target_ + "." + std::to_string(n);
    }
    if (error != ERROR_SUCCESS) result.error = Reason(target_, error);
  }
  if (!result.error.empty()) {
    Abandon();
    return result;
  }
  UnregisterTransientFile(temporary_);
  temporary_.clear();
  result.ok = true;
  result.written = destination;
  return result;
}

void OutputFile::Abandon() {
  if (stream_ != nullptr) std::fclose(stream_);
  stream_ = nullptr;
  if (temporary_.empty()) return;
  UnregisterTransientFile(temporary_);
  ::DeleteFileW(Wide(temporary_).c_str());
  temporary_.clear();
}

namespace {

// A regular file's bytes, at most `limit`; with `whole` a larger file is
// refused, otherwise its first `limit` bytes are read.
ReadOutcome ReadRegularFile(const std::string& path, std::size_t limit, bool whole,
                            std::vector<std::uint8_t>* bytes, std::string* error) {
  bytes->clear();
  // Opening a device name (COM1, a pipe) could reset an instrument or wait
  // forever: only a name that is a file on a disk is opened.
  const FileKind kind = KindOf(path);
  if (kind == FileKind::kMissing) return ReadOutcome::kMissing;
  if (kind != FileKind::kRegular) return ReadOutcome::kNotRegular;
  Handle file(::CreateFileW(Wide(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.Valid()) {
    const DWORD code = ::GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return ReadOutcome::kMissing;
    if (error) *error = Reason(path, code);
    return ReadOutcome::kFailed;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileType(file.h) != FILE_TYPE_DISK || !::GetFileInformationByHandle(file.h, &info) ||
      IsReparsePointOrDevice(info.dwFileAttributes) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    return ReadOutcome::kNotRegular;
  const std::uint64_t size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  if (whole && size > limit) return ReadOutcome::kTooLarge;
  const std::size_t most = limit + (whole ? 1 : 0);
  std::uint8_t chunk[4096];
  while (bytes->size() < most) {
    DWORD got = 0;
    const auto wanted = static_cast<DWORD>(std::min(sizeof chunk, most - bytes->size()));
    if (!::ReadFile(file.h, chunk, wanted, &got, nullptr)) {
      if (error) *error = Reason(path);
      bytes->clear();
      return ReadOutcome::kFailed;
    }
    if (got == 0) break;
    bytes->insert(bytes->end(), chunk, chunk + got);
  }
  // A file that grew while it was read.
  if (bytes->size() > limit) {
    bytes->clear();
    return ReadOutcome::kTooLarge;
  }
  return ReadOutcome::kRead;
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
  const std::string probe = TemporaryNameBeside(folder.empty() ? std::string(".") : folder);
  Handle file(::CreateFileW(Wide(probe).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  if (!file.Valid()) {
    if (error) *error = SystemErrorText(LastSystemError());
    return false;
  }
  return true;
}

std::string CreateTemporaryFile(std::string_view prefix, std::string* error) {
  wchar_t folder[MAX_PATH + 1] = {};
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, folder);
  if (length == 0 || length > MAX_PATH) {
    if (error)
      *error = "cannot find the folder for temporary files: " + SystemErrorText(LastSystemError());
    return {};
  }
  // GetTempFileNameW takes the first three characters of the prefix and
  // creates the file, so the name is ours.
  wchar_t name[MAX_PATH + 1] = {};
  if (::GetTempFileNameW(folder, Utf16FromUtf8(prefix).c_str(), 0, name) == 0) {
    if (error)
      *error = "cannot create a temporary file in " + Utf8FromUtf16(folder) + ": " +
               SystemErrorText(LastSystemError());
    return {};
  }
  return Utf8FromUtf16(name);
}

std::string FileNameProblem(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return "no file name";
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return "a control character";
    if (std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos)
      return std::string("the character ") + c + " that Windows does not allow in file names";
  }
  if (name.back() == ' ' || name.back() == '.')
    return "a blank or dot at its end, which Windows drops";
  if (IsReservedDeviceName(name)) return "a device name of Windows";
  return {};
}

bool FileNamesEqual(std::string_view a, std::string_view b) {
  // The system's own comparison of names, as the file system makes it.
  return ::CompareStringOrdinal(Wide(std::string(a)).c_str(), -1, Wide(std::string(b)).c_str(), -1,
                                TRUE) == CSTR_EQUAL;
}

bool RemoveFile(const std::string& path) {
  return ::DeleteFileW(Wide(path).c_str()) != 0;
}

}  // namespace pelvane::core
