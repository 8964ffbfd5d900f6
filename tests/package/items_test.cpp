#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include "package/qn_download.h"
#include "package/qn_erase.h"
#include "package/qn_memory.h"
#include "package/qn_program.h"
#include "package/qn_transfer_program.h"
#include "package_fixture.h"

namespace pelvane::package {
namespace {

using test::PackageTest;
using test::ScriptedPrompt;

class FakeMembers : public MemberDirectory {
 public:
  explicit FakeMembers(std::map<std::string, std::int64_t> sizes) : sizes_(std::move(sizes)) {}
  int CountMembers(const std::string& name) const override { return sizes_.count(name); }
  std::int64_t MemberSize(const std::string& name) const override {
    auto it = sizes_.find(name);
    return it == sizes_.end() ? 0 : it->second;
  }

 private:
  std::map<std::string, std::int64_t> sizes_;
};

std::shared_ptr<const MemberDirectory> Members() {
  return std::make_shared<FakeMembers>(
      std::map<std::string, std::int64_t>{{"prog.bin", 0x100}, {"huge.bin", 100LL << 20}});
}

TEST(Memory, InitFromHexFields) {
  QN_Memory memory;
  ASSERT_TRUE(memory.Init("0x400000, 0x100000, AM29F040"));
  EXPECT_EQ(memory.StartAddress(), 4194304);
  EXPECT_EQ(memory.Length(), 1048576);
  EXPECT_EQ(memory.EndAddress(), 5242880);
  EXPECT_EQ(memory.FlashnameIndex(), 22);
  EXPECT_TRUE(memory.Validate());
}

TEST(Memory, FlashNameTableIsCaseSensitive) {
  const std::pair<const char*, int> table[] = {
      {"AM28F010", 0x11}, {"I28F010", 0x12},  {"AM28F020", 0x13}, {"I28F020", 0x14},
      {"AM29F010", 0x15}, {"AM29F040", 0x16}, {"I28F016", 0x17},  {"AM29LV800", 0x18}};
  for (const auto& [name, index] : table) EXPECT_EQ(FlashNameIndex(name), index) << name;
  QN_Memory memory;
  EXPECT_TRUE(memory.Init("0,16,am29f040"));
  EXPECT_EQ(memory.FlashnameIndex(), 0);
  EXPECT_TRUE(memory.Validate());  // unknown names are kept
}

TEST(Memory, FlashNameZeroIsRefused) {
  QN_Memory memory;
  EXPECT_TRUE(memory.Init("0,16,0"));
  EXPECT_FALSE(memory.Validate());
  EXPECT_EQ(memory.GetLastError(), 2);
  EXPECT_EQ(memory.GetLastErrorString(), "Flash Memory Name Invalid 0");
  memory.Flashname("AM29F010");  // the lookup makes it valid again
  EXPECT_TRUE(memory.Validate());
}

TEST(Memory, EndAddressIsComputedOnceBySecondSetter) {
  QN_Memory memory;
  memory.Length(0x10);
  EXPECT_EQ(memory.EndAddress(), 0);
  memory.StartAddress(0x100);
  EXPECT_EQ(memory.EndAddress(), 0x110);
  memory.StartAddress(0x200);  // already computed: unchanged
  memory.Length(0x20);
  EXPECT_EQ(memory.EndAddress(), 0x110);
}

TEST(Memory, BadOrMissingFieldsKeepEarlierValues) {
  QN_Memory memory;
  EXPECT_FALSE(memory.Init("0x1000,abc,AM29F040"));
  EXPECT_EQ(memory.StartAddress(), 0x1000);
  EXPECT_EQ(memory.Flashname(), "");
  QN_Memory partial;
  EXPECT_FALSE(partial.Init("0x1000,0x10"));
  EXPECT_EQ(partial.EndAddress(), 0x1010);
  QN_Memory empty;
  EXPECT_FALSE(empty.Init(""));
  QN_Memory extra;
  EXPECT_TRUE(extra.Init("1,2,AM29F040,ignored,too"));
}

TEST(Memory, RangePastTheAddressSpaceIsAConversionFailure) {
  QN_Memory memory;
  EXPECT_FALSE(memory.Init("0x7FFFFFFF,0x10,AM29F040"));
  EXPECT_FALSE(memory.Validate());
  QN_Memory edge;
  EXPECT_TRUE(edge.Init("0x7FFFFFF0,0xF,AM29F040"));
  EXPECT_EQ(edge.EndAddress(), INT32_MAX);
}

TEST(Erase, EndAddressFromTheFirstLengthOnly) {
  QN_Erase erase;
  ASSERT_TRUE(erase.Init("0x10000, 0x8000"));
  EXPECT_EQ(erase.EndAddress(), 0x18000);
  erase.EraseAddress(0);
  erase.Length(1);
  EXPECT_EQ(erase.EndAddress(), 0x18000);

  QN_Erase direct;
  direct.Length(0x10);  // before the address: uses the address held then (0)
  direct.EraseAddress(0x100);
  EXPECT_EQ(direct.EndAddress(), 0x10);

  QN_Erase bad;
  EXPECT_FALSE(bad.Init("0x100"));
  EXPECT_FALSE(bad.Init("0x100,x"));
  EXPECT_FALSE(QN_Erase().Init("2147483647,1"));
}

TEST(TransferProgram, MissingExecutionAddressKeepsFileAndLoadAddress) {
  QN_TransferProgram transfer(Members());
  EXPECT_FALSE(transfer.Init("prog.bin,0x1000", ""));
  EXPECT_EQ(transfer.Filename(), "prog.bin");
  EXPECT_EQ(transfer.LoadAddress(), 0x1000);
  EXPECT_EQ(transfer.Length(), 0x100);
  EXPECT_EQ(transfer.EndAddress(), 0x1100);
  EXPECT_TRUE(transfer.Validate());
}

TEST(TransferProgram, FileNotInArchiveInitsButIsInvalid) {
  QN_TransferProgram transfer(Members());
  EXPECT_TRUE(transfer.Init(" other.bin , 0x1000, 0x1004", ""));
  EXPECT_FALSE(transfer.Validate());
  EXPECT_EQ(transfer.GetLastError(), 13);
  EXPECT_EQ(transfer.GetLastErrorString(), "Transfer Entry invalid File Not Found other.bin");
  EXPECT_EQ(transfer.ExecAddress(), 0x1004);
  EXPECT_EQ(transfer.EndAddress(), 0);
}

TEST(TransferProgram, EndComputedWhenFileFoundAfterLoadAddress) {
  QN_TransferProgram transfer(Members());
  transfer.LoadAddress(0x2000);
  EXPECT_EQ(transfer.EndAddress(), 0);
  transfer.Filename("prog.bin");
  EXPECT_EQ(transfer.EndAddress(), 0x2100);
  transfer.LoadAddress(0x3000);  // computed once only
  EXPECT_EQ(transfer.EndAddress(), 0x2100);
}

TEST(TransferProgram, OverflowAndOversizedMembersAreRefused) {
  QN_TransferProgram overflow(Members());
  EXPECT_FALSE(overflow.Init("prog.bin,0x7FFFFFFF,0", ""));
  EXPECT_FALSE(overflow.Validate());
  QN_TransferProgram huge(Members());
  EXPECT_TRUE(huge.Init("huge.bin,0,0", ""));
  EXPECT_FALSE(huge.Validate());
  EXPECT_EQ(huge.GetLastErrorString(), "Transfer Entry invalid File Too Large huge.bin");
}

TEST(Program, LoadAddressRecomputesEveryTime) {
  QN_Program program(Members());
  ASSERT_TRUE(program.Init("0x1000, prog.bin", ""));
  EXPECT_EQ(program.EndAddress(), 0x1100);
  program.LoadAddress(0x5000);
  EXPECT_EQ(program.EndAddress(), 0x5100);
  EXPECT_TRUE(program.Validate());
}

TEST(Program, MissingFileIsMadeValidByItsLength) {
  QN_Program program(Members());
  EXPECT_TRUE(program.Init("0x1000,dump.bin", ""));
  EXPECT_FALSE(program.Validate());
  EXPECT_EQ(program.GetLastErrorString(), "Program Entry Invalid File Not Found dump.bin");
  program.Length(0x40);
  EXPECT_TRUE(program.Validate());
  EXPECT_FALSE(QN_Program(Members()).Init("0x1000", ""));
  EXPECT_FALSE(QN_Program(Members()).Init("nope,prog.bin", ""));
  EXPECT_FALSE(QN_Program(Members()).Init("0x7FFFFF80,prog.bin", ""));
}

class DownloadTest : public PackageTest {};

TEST_F(DownloadTest, InitKeepsFieldsAndSourcePath) {
  QN_Download download;
  ASSERT_TRUE(download.Init("0x4F0000, 0x200 , dump.bin ", "out/"));
  EXPECT_EQ(download.StartAddress(), 0x4F0000);
  EXPECT_EQ(download.Length(), 0x200);
  EXPECT_EQ(download.Filename(), "out/dump.bin");
  EXPECT_EQ(download.EndAddress(), 0);
  EXPECT_FALSE(QN_Download().Init("0x10,0x10", ""));
  EXPECT_FALSE(QN_Download().Init("0x7FFFFFFF,0x10,x.bin", ""));
}

// The probe of writability leaves the folder as it found it: a run that fails
// before the read must not leave a file the next run asks about.
TEST_F(DownloadTest, AbsentFileIsProbedWithoutAQuestionAndNothingIsLeft) {
  QN_Download download;
  ASSERT_TRUE(download.Init("0,16,new.bin", ""));
  download.OutputFolder(Path(""));
  ScriptedPrompt prompt(PromptAnswer::No);
  EXPECT_TRUE(download.Validate(prompt));
  EXPECT_TRUE(prompt.questions.empty());
  EXPECT_TRUE(std::filesystem::is_empty(Path("")));
}

TEST_F(DownloadTest, ExistingFileNeedsConsentAndKeepsItsContents) {
  WriteFile(Path("old.bin"), "calibration");
  QN_Download download;
  ASSERT_TRUE(download.Init("0,16,old.bin", ""));
  download.OutputFolder(Path(""));
  ScriptedPrompt no(PromptAnswer::No);
  EXPECT_FALSE(download.Validate(no));
  ASSERT_EQ(no.questions.size(), 1u);
  EXPECT_EQ(no.questions[0],
            "File Exists ! :\n" + Path("old.bin") + "\n Do you want to overwite the file?");
  EXPECT_EQ(no.captions[0], "Download Instrument Memory");
  EXPECT_EQ(no.lastButtons, PromptButtons::YesNo);
  EXPECT_EQ(download.GetLastError(), 1);
  EXPECT_EQ(download.GetLastErrorString(), "Filename Invalid " + Path("old.bin"));

  ScriptedPrompt yes(PromptAnswer::Yes);
  EXPECT_TRUE(download.Validate(yes));
  EXPECT_EQ(std::filesystem::file_size(Path("old.bin")), 11u);

  // Without a prompt an existing file is never overwritten.
  EXPECT_FALSE(download.Validate());

  // A link of that name, even one that leads nowhere, is asked about too.
  std::error_code noLinks;
  std::filesystem::create_symlink(Path("nowhere"), Path("link.bin"), noLinks);
  if (noLinks) GTEST_SKIP() << "no symbolic links here: " << noLinks.message();
  ASSERT_TRUE(download.Init("0,16,link.bin", ""));
  EXPECT_FALSE(download.Validate(no));
  EXPECT_EQ(download.GetLastErrorString(), "Filename Invalid " + Path("link.bin"));
}

TEST_F(DownloadTest, UnwritableFolderGivesCode9WithTheReason) {
  QN_Download download;
  ASSERT_TRUE(download.Init("0,16,x.bin", ""));
  download.OutputFolder(Path("missing/dir"));
  ScriptedPrompt prompt;
  EXPECT_FALSE(download.Validate(prompt));
  EXPECT_EQ(download.GetLastError(), 9);
  // The system's own words for a missing folder ("No such file or directory",
  // "The system cannot find the path specified"), then the path.
  const std::string missing = (std::filesystem::path(Path("missing/dir")) / "x.bin").string();
  EXPECT_THAT(download.GetLastErrorString(),
              testing::AllOf(testing::StartsWith("Upload Entry Invalid "),
                             testing::EndsWith(" " + missing)));
  ASSERT_TRUE(download.Init("0,16,../..", ""));
  EXPECT_FALSE(download.Validate(prompt));
  EXPECT_EQ(download.GetLastErrorString(), "Upload Entry Invalid no file name in ../..");
}

// A package writes only into the output folder, under the last component.
TEST_F(DownloadTest, NamesWithFoldersOrDrivesLoseThemInsideTheOutputFolder) {
  const struct {
    const char* name;
    const char* written;
    bool moved;
  } rows[] = {
      {"dump.bin", "out/dump.bin", false}, {"../x.bin", "out/x.bin", true},
      {"/etc/passwd", "out/passwd", true}, {"C:\\CAL\\dump.bin", "out/dump.bin", true},
      {"c:cal.bin", "out/cal.bin", true},  {"sub/dir\\a.bin", "out/a.bin", true},
  };
  for (const auto& row : rows) {
    QN_Download download;
    ASSERT_TRUE(download.Init(std::string("0,16,") + row.name, ""));
    download.OutputFolder("out");
    // The output folder is joined with the system's own separator.
    EXPECT_EQ(download.OutputPath(), std::filesystem::path(row.written).make_preferred().string())
        << row.name;
    EXPECT_EQ(download.NameMoved(), row.moved) << row.name;
    download.OutputFolder("");
    EXPECT_EQ(download.OutputPath(), std::string(row.written).substr(4)) << row.name;
  }
}

}  // namespace
}  // namespace pelvane::package
