#include "core/files.h"
#include "core/system_error.h"
#include "package/package_configuration.h"

namespace pelvane::package {

TemporaryFile::TemporaryFile(const std::string& prefix) {
  path_ = core::CreateTemporaryFile(prefix, &error_);
  // Gone also when the program is made to end at once.
  if (!path_.empty()) core::RegisterTransientFile(path_);
}

TemporaryFile::~TemporaryFile() {
  if (path_.empty()) return;
  core::UnregisterTransientFile(path_);
  core::RemoveFile(path_);
}

bool TemporaryFile::Write(const std::string& text) {
  if (path_.empty()) return false;
  std::FILE* file = core::OpenStream(path_, "wb");
  if (!file) {
    error_ = "cannot write " + path_ + ": " + core::SystemErrorText(core::LastSystemError());
    return false;
  }
  bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  ok = (std::fclose(file) == 0) && ok;
  if (!ok) error_ = "cannot write " + path_ + ": " + core::SystemErrorText(core::LastSystemError());
  return ok;
}

}  // namespace pelvane::package
