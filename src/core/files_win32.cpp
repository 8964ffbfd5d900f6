// Files on Windows: every call takes the UTF-16 form of the program's UTF-8
// paths, so names outside the ANSI code page work.
#include <windows.h>

#include <atomic>
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

bool WriteAll(HANDLE file, std::span<const std::uint8_t> data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size() - done, 1u << 30));
    DWORD written = 0;
    if (!::WriteFile(file, data.data() + done, chunk, &written, nullptr) || written == 0)
      return false;
    done += written;
  }
  return true;
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

WholeWrite WriteWholeFile(const std::string& target, std::span<const std::uint8_t> bytes,
                          Overwrite overwrite) {
  WholeWrite result;
  if (const FileKind kind = KindOf(target);
      kind == FileKind::kDirectory || kind == FileKind::kOther) {
    result.error = target + ": not a regular file";
    return result;
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
    result.error = Reason(target);
    return result;
  }
  bool ok = false;
  {
    Handle file(created);
    ok = WriteAll(file.h, bytes) && ::FlushFileBuffers(file.h);
    if (!ok) result.error = Reason(target);
  }
  std::string destination = target;
  if (ok) {
    DWORD flags = MOVEFILE_WRITE_THROUGH;
    if (overwrite == Overwrite::kAgreed) flags |= MOVEFILE_REPLACE_EXISTING;
    DWORD error = ERROR_SUCCESS;
    for (int n = 1; n <= 1000; ++n) {
      if (::MoveFileExW(Wide(temporary).c_str(), Wide(destination).c_str(), flags)) {
        error = ERROR_SUCCESS;
        break;
      }
      error = ::GetLastError();
      if (overwrite == Overwrite::kAgreed ||
          (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS))
        break;
      destination = target + "." + std::to_string(n);
    }
    if (error != ERROR_SUCCESS) {
      ok = false;
      result.error = Reason(target, error);
    }
  }
  if (!ok) {
    ::DeleteFileW(Wide(temporary).c_str());
    return result;
  }
  result.ok = true;
  result.written = destination;
  return result;
}

ReadOutcome ReadWholeFile(const std::string& path, std::size_t limit,
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
  if (size > limit) return ReadOutcome::kTooLarge;
  std::uint8_t chunk[4096];
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(file.h, chunk, sizeof chunk, &got, nullptr)) {
      if (error) *error = Reason(path);
      bytes->clear();
      return ReadOutcome::kFailed;
    }
    if (got == 0) break;
    if (bytes->size() + got > limit) {
      bytes->clear();
      return ReadOutcome::kTooLarge;
    }
    bytes->insert(bytes->end(), chunk, chunk + got);
  }
  return ReadOutcome::kRead;
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
    if (static_cast<unsigned char>(c) < 0x20) return "a control character";
    if (std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos)
      return std::string("the character ") + c + " that Windows does not allow in file names";
  }
  if (name.back() == ' ' || name.back() == '.')
    return "a blank or dot at its end, which Windows drops";
  if (IsReservedDeviceName(name)) return "a device name of Windows";
  return {};
}

bool RemoveFile(const std::string& path) {
  return ::DeleteFileW(Wide(path).c_str()) != 0;
}

}  // namespace pelvane::core
