#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "package/package_configuration.h"

namespace pelvane::package {

TemporaryFile::TemporaryFile(const std::string& prefix) {
  const char* dir = std::getenv("TMPDIR");
  std::string folder = (dir && *dir) ? dir : "/tmp";
  std::string pattern = folder + "/" + prefix + "XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0) {
    error_ = "cannot create a temporary file in " + folder + ": " + std::strerror(errno);
    return;
  }
  close(fd);
  path_ = name.data();
}

TemporaryFile::~TemporaryFile() {
  if (!path_.empty()) unlink(path_.c_str());
}

bool TemporaryFile::Write(const std::string& text) {
  if (path_.empty()) return false;
  std::FILE* file = std::fopen(path_.c_str(), "wb");
  if (!file) {
    error_ = "cannot write " + path_ + ": " + std::strerror(errno);
    return false;
  }
  bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  ok = (std::fclose(file) == 0) && ok;
  if (!ok) error_ = "cannot write " + path_ + ": " + std::strerror(errno);
  return ok;
}

}  // namespace pelvane::package
