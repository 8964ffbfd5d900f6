// Files for tests that run whole programs: a scratch folder per test, byte
// patterns to program, and reading and writing them whole.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

namespace pelvane::test {

inline std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline std::vector<std::uint8_t> FileBytes(const std::filesystem::path& path) {
  const std::string text = ReadText(path);
  return {text.begin(), text.end()};
}

inline void WriteBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

// Byte i is seed + i * step + i / every: no two neighbouring blocks alike, so
// a block programmed at the wrong address or twice shows in the flash.
inline std::vector<std::uint8_t> BytePattern(std::size_t n, std::uint8_t seed, std::size_t step,
                                             std::size_t every) {
  std::vector<std::uint8_t> bytes(n);
  for (std::size_t i = 0; i < n; ++i)
    bytes[i] = static_cast<std::uint8_t>(seed + i * step + i / every);
  return bytes;
}

// An empty folder under the temporary directory, named after the test (and
// the process, for runs side by side), removed again unless kept.
class ScratchDir {
 public:
  ScratchDir(const std::string& prefix, std::string test) {
    // Parameterised tests are named "Case/Row"; the folder is one level.
    for (char& c : test)
      if (c == '/') c = '_';
    path_ = std::filesystem::temp_directory_path() /
            (prefix + "-" + std::to_string(::getpid()) + "-" + test);
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    if (!keep_) std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
  // Leaves the folder for a look at what a failed run wrote.
  void Keep() { keep_ = true; }

 private:
  std::filesystem::path path_;
  bool keep_ = false;
};

// Points the system's folder for temporary files (TMPDIR; TMP on Windows) at
// `folder` while it exists, so that a test sees every temporary file the code
// makes, and leaks.
class ScopedTemporaryFolder {
 public:
  explicit ScopedTemporaryFolder(const std::filesystem::path& folder) {
    const char* old = std::getenv(kVariable);
    had_ = old != nullptr;
    if (had_) old_ = old;
    Set(folder.string().c_str());
  }
  ~ScopedTemporaryFolder() { Set(had_ ? old_.c_str() : nullptr); }
  ScopedTemporaryFolder(const ScopedTemporaryFolder&) = delete;
  ScopedTemporaryFolder& operator=(const ScopedTemporaryFolder&) = delete;

 private:
#ifdef _WIN32
  static constexpr const char* kVariable = "TMP";
  static void Set(const char* value) {
    _putenv_s(kVariable, value ? value : "");
  }
#else
  static constexpr const char* kVariable = "TMPDIR";
  static void Set(const char* value) {
    if (value)
      setenv(kVariable, value, 1);
    else
      unsetenv(kVariable);
  }
#endif
  bool had_ = false;
  std::string old_;
};

// A new folder under the system's temporary folder, named from `prefix` and a
// random number, so that tests run side by side never share one.
inline std::filesystem::path NewScratchFolder(const std::string& prefix) {
  std::random_device random;
  for (;;) {
    const auto folder =
        std::filesystem::temp_directory_path() / (prefix + "-" + std::to_string(random()));
    if (std::filesystem::create_directory(folder)) return folder;
  }
}

}  // namespace pelvane::test
