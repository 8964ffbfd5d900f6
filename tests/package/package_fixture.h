// Builds firmware packages for tests in a private temporary folder.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "package/package_writer.h"
#include "package/prompt.h"
#include "support/test_files.h"

namespace pelvane::package::test {

// A configuration that loads: every required key, one memory, one program.
inline std::string MinimalConfiguration() {
  return "[HOST]\n"
         "PORTS=COM1,GPIB\n"
         "UART=COM1\n"
         "BAUD=115200\n"
         "TRANSFER=XFER.BIN,0x8000,0x8004\n"
         "[TARGET]\n"
         "PROCESSOR=I80X86\n"
         "ARCHITECTURE=B16\n"
         "MEMORY=0x400000,0x80000,AM29F040\n"
         "[FILES]\n"
         "PROGRAM=0x400000,BOOT.BIN\n";
}

inline std::vector<std::uint8_t> Bytes(std::size_t count, std::uint8_t first = 0) {
  std::vector<std::uint8_t> bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(first + i);
  return bytes;
}

class ScriptedPrompt : public QN_Prompt {
 public:
  explicit ScriptedPrompt(PromptAnswer answer = PromptAnswer::No) : answer_(answer) {}
  PromptAnswer Ask(const std::string& text, const std::string& caption,
                   PromptButtons buttons) override {
    questions.push_back(text);
    captions.push_back(caption);
    lastButtons = buttons;
    return answer_;
  }
  std::vector<std::string> questions;
  std::vector<std::string> captions;
  PromptButtons lastButtons = PromptButtons::Ok;

 private:
  PromptAnswer answer_;
};

class PackageTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = pelvane::test::NewScratchFolder("pelvane-pkg");
    // The loader's temporary copies go here too, so a test sees what leaks.
    temporaryFolder_.emplace(dir_);
  }
  void TearDown() override {
    temporaryFolder_.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  // A package with the configuration and the usual members: XFER.BIN (64
  // bytes), BOOT.BIN (1000 bytes) and any extra members.
  std::string MakePackage(const std::string& config, std::vector<PackageMember> extra = {},
                          const std::string& name = "test.qxpkg", const std::string& comment = "") {
    PackageWriter writer;
    writer.AddMember("QXCONFIG.INI", config);
    writer.AddMember("XFER.BIN", Bytes(64));
    writer.AddMember("BOOT.BIN", Bytes(1000, 7));
    for (auto& m : extra) writer.AddMember(m.name, std::move(m.bytes));
    writer.SetComment(comment);
    std::string path = Path(name);
    EXPECT_TRUE(writer.Write(path)) << writer.Error();
    return path;
  }

  void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
  }

  std::size_t TemporaryCopies() const {
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
      if (entry.path().filename().string().rfind("~QX", 0) == 0) ++count;
    }
    return count;
  }

  std::filesystem::path dir_;
  std::optional<pelvane::test::ScopedTemporaryFolder> temporaryFolder_;
};

}  // namespace pelvane::package::test
