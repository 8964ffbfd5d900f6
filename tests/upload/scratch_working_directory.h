// Runs a test program in an empty folder of its own and fails the run when a
// test leaves anything there. A download entry with a bare file name writes
// into the current folder; a test that forgets to give it a folder of its own
// would otherwise drop the file wherever the program was started, the source
// tree included.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace pelvane::test_support {

class ScratchWorkingDirectory final : public testing::Environment {
 public:
  void SetUp() override {
    previous_ = std::filesystem::current_path();
    dir_ = std::filesystem::temp_directory_path() / ("pelvane-cwd-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    std::filesystem::current_path(dir_);
  }

  void TearDown() override {
    std::string stray;
    for (const auto& entry : std::filesystem::directory_iterator(dir_))
      stray += " " + entry.path().filename().string();
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
    std::filesystem::remove_all(dir_, ignored);
    EXPECT_TRUE(stray.empty()) << "a test wrote into the current folder:" << stray;
  }

 private:
  std::filesystem::path previous_, dir_;
};

// One per test program, whichever files include this header.
inline testing::Environment* const kScratchWorkingDirectory =
    testing::AddGlobalTestEnvironment(new ScratchWorkingDirectory);

}  // namespace pelvane::test_support
