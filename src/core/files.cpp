#include "core/files.h"

#include <algorithm>
#include <mutex>

namespace pelvane::core {

namespace {

struct TransientFiles {
  std::mutex mutex;
  std::vector<std::string> paths;  // guarded by mutex
};

TransientFiles& Transient() {
  static TransientFiles files;
  return files;
}

std::string FolderPart(const std::string& path) {
  const std::string folder = Utf8FromPath(PathFromUtf8(path).parent_path());
  return folder.empty() ? "." : folder;
}

}  // namespace

bool SameFile(const std::string& a, const std::string& b) {
  const auto first = StampOf(a);
  const auto second = first ? StampOf(b) : std::nullopt;
  return second && first->volume == second->volume && first->file == second->file;
}

bool SameOutput(const std::string& a, const std::string& b) {
  const bool aReaches = StampOf(a).has_value();
  const bool bReaches = StampOf(b).has_value();
  if (aReaches || bReaches) return aReaches && bReaches && SameFile(a, b);
  // Names of files still to come (or of links that lead nowhere): one place
  // when their folders are one and their last names name one file there.
  return SameFile(FolderPart(a), FolderPart(b)) &&
         FileNamesEqual(Utf8FromPath(PathFromUtf8(a).filename()),
                        Utf8FromPath(PathFromUtf8(b).filename()));
}

WholeWrite WriteWholeFile(const std::string& target, std::span<const std::uint8_t> bytes,
                          Overwrite overwrite, Access access) {
  OutputFile file;
  WholeWrite result;
  if (!file.Create(target, access, &result.error)) return result;
  file.Write(bytes);
  return file.Finish(overwrite);
}

bool OutputFile::Write(std::string_view text) {
  return Write({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

std::string OutputProblem(const std::string& path) {
  switch (KindOf(path)) {
    case FileKind::kDirectory:
      return "it is a folder";
    case FileKind::kOther:
      return "it is not a regular file (a FIFO, device or socket)";
    default:
      break;
  }
  // Outputs are written beside their name and renamed onto it, so the folder
  // must take a new file.
  std::string reason;
  if (!FolderWritable(FolderPart(path), &reason)) return reason;
  return {};
}

void RegisterTransientFile(const std::string& path) {
  TransientFiles& files = Transient();
  std::lock_guard lock(files.mutex);
  files.paths.push_back(path);
}

void UnregisterTransientFile(const std::string& path) {
  TransientFiles& files = Transient();
  std::lock_guard lock(files.mutex);
  const auto found = std::find(files.paths.begin(), files.paths.end(), path);
  if (found != files.paths.end()) files.paths.erase(found);
}

void RemoveTransientFiles() {
  TransientFiles& files = Transient();
  std::lock_guard lock(files.mutex);
  for (const std::string& path : files.paths) RemoveFile(path);
  files.paths.clear();
}

}  // namespace pelvane::core
