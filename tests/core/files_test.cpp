// The platform layer's files, text conversion and digest: what every output
// of a run and every Windows call rests on.
#include "core/files.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "core/sha256.h"
#include "core/utf16.h"
#include "support/test_files.h"

namespace pelvane::core {
namespace {

using pelvane::test::FileBytes;
using pelvane::test::ReadText;
using pelvane::test::ScratchDir;
using pelvane::test::WriteBytes;

std::span<const std::uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string Name(const std::filesystem::path& path) {
  return Utf8FromPath(path);
}

class FilesTest : public testing::Test {
 protected:
  ScratchDir dir{"pelvane-files", testing::UnitTest::GetInstance()->current_test_info()->name()};
};

TEST_F(FilesTest, WholeWriteReplacesOnlyWhenAgreed) {
  const std::string target = Name(dir / "cal.bin");
  WriteBytes(dir / "cal.bin", {1, 2, 3});

  const WholeWrite kept = WriteWholeFile(target, Bytes("new"), Overwrite::kNever);
  ASSERT_TRUE(kept.ok) << kept.error;
  EXPECT_EQ(kept.written, target + ".1");
  EXPECT_EQ(FileBytes(dir / "cal.bin"), (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_EQ(ReadText(dir / "cal.bin.1"), "new");
  // The next free name, never one taken by an earlier run.
  EXPECT_EQ(WriteWholeFile(target, Bytes("third"), Overwrite::kNever).written, target + ".2");

  // A backup kept private stays private when it is replaced.
  using std::filesystem::perms;
  std::filesystem::permissions(dir / "cal.bin", perms::owner_read | perms::owner_write);
  const perms before = std::filesystem::status(dir / "cal.bin").permissions();
  const WholeWrite replaced = WriteWholeFile(target, Bytes("agreed"), Overwrite::kAgreed);
  ASSERT_TRUE(replaced.ok) << replaced.error;
  EXPECT_EQ(replaced.written, target);
  EXPECT_EQ(ReadText(dir / "cal.bin"), "agreed");
  EXPECT_EQ(std::filesystem::status(dir / "cal.bin").permissions(), before);
  // Nothing of the writes is left beside the files.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 3);
}

// A file written in pieces (a trace) reaches its name only when finished;
// abandoned, it leaves nothing, and the name's old file stays.
TEST_F(FilesTest, OutputFileReachesItsNameOnlyWhenFinished) {
  WriteBytes(dir / "run.trace", {'o', 'l', 'd'});
  {
    OutputFile file;
    std::string error;
    ASSERT_TRUE(file.Create(Name(dir / "run.trace"), Access::kShared, &error)) << error;
    EXPECT_TRUE(file.Write(std::string_view("line\n")));
    EXPECT_EQ(ReadText(dir / "run.trace"), "old");
  }
  EXPECT_EQ(ReadText(dir / "run.trace"), "old");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
  OutputFile file;
  ASSERT_TRUE(file.Create(Name(dir / "run.trace"), Access::kShared, nullptr));
  file.Write(std::string_view("new\n"));
  const WholeWrite finished = file.Finish(Overwrite::kAgreed);
  ASSERT_TRUE(finished.ok) << finished.error;
  EXPECT_EQ(ReadText(dir / "run.trace"), "new\n");
#ifndef _WIN32
  // A log that holds calibration bytes is its owner's alone (Windows leaves
  // that to the folder).
  ASSERT_TRUE(
      WriteWholeFile(Name(dir / "run.log"), Bytes("x"), Overwrite::kNever, Access::kPrivate).ok);
  using std::filesystem::perms;
  EXPECT_EQ(std::filesystem::status(dir / "run.log").permissions() &
                (perms::group_all | perms::others_all),
            perms::none);
#endif
}

// What no output may be: a folder (or a FIFO, device), a name in a folder
// that takes no file; and two outputs of one run are one file when their
// names reach one, also before it exists.
TEST_F(FilesTest, OutputsAreCheckedBeforeAnythingIsWritten) {
  std::filesystem::create_directory(dir / "out");
  EXPECT_THAT(OutputProblem(Name(dir / "out")), testing::HasSubstr("folder"));
  EXPECT_NE(OutputProblem(Name(dir / "missing" / "r.json")), "");
  EXPECT_EQ(OutputProblem(Name(dir / "r.json")), "");
  EXPECT_TRUE(SameOutput(Name(dir / "r.json"), Name(dir / "out" / ".." / "r.json")));
  EXPECT_FALSE(SameOutput(Name(dir / "r.json"), Name(dir / "t.json")));
  WriteBytes(dir / "r.json", {'{'});
  EXPECT_TRUE(SameOutput(Name(dir / "r.json"), Name(dir / "out" / ".." / "r.json")));
  EXPECT_FALSE(SameOutput(Name(dir / "r.json"), Name(dir / "t.json")));
}

TEST_F(FilesTest, TransientFilesGoWhenTheProgramEndsAtOnce) {
  WriteBytes(dir / "LCK..ttyS0", {'1'});
  WriteBytes(dir / "released", {'1'});
  RegisterTransientFile(Name(dir / "LCK..ttyS0"));
  RegisterTransientFile(Name(dir / "released"));
  UnregisterTransientFile(Name(dir / "released"));
  RemoveTransientFiles();
  EXPECT_EQ(KindOf(Name(dir / "LCK..ttyS0")), FileKind::kMissing);
  EXPECT_EQ(KindOf(Name(dir / "released")), FileKind::kRegular);
}

TEST_F(FilesTest, WholeWriteRefusesAFolderAndLeavesNothing) {
  std::filesystem::create_directory(dir / "out");
  const WholeWrite result = WriteWholeFile(Name(dir / "out"), Bytes("x"), Overwrite::kAgreed);
  EXPECT_FALSE(result.ok);
  EXPECT_THAT(result.error, testing::HasSubstr("not a regular file"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST_F(FilesTest, BoundedReadOfWhatTheProgramDidNotWrite) {
  std::vector<std::uint8_t> bytes;
  EXPECT_EQ(ReadWholeFile(Name(dir / "none"), 100, &bytes), ReadOutcome::kMissing);
  WriteBytes(dir / "four", {1, 2, 3, 4});
  EXPECT_EQ(ReadWholeFile(Name(dir / "four"), 4, &bytes), ReadOutcome::kRead);
  EXPECT_EQ(bytes.size(), 4u);
  EXPECT_EQ(ReadWholeFile(Name(dir / "four"), 3, &bytes), ReadOutcome::kTooLarge);
  EXPECT_TRUE(bytes.empty());
  // How a file begins, whatever its size.
  EXPECT_EQ(ReadFileStart(Name(dir / "four"), 3, &bytes), ReadOutcome::kRead);
  EXPECT_EQ(bytes, (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_EQ(ReadWholeFile(Name(dir.path()), 100, &bytes), ReadOutcome::kNotRegular);
}

TEST_F(FilesTest, TemporaryFilesAreNewAndRemovable) {
  std::string error;
  const std::string first = CreateTemporaryFile("~QX", &error);
  const std::string second = CreateTemporaryFile("~QX", &error);
  ASSERT_FALSE(first.empty()) << error;
  EXPECT_NE(first, second);
  EXPECT_EQ(KindOf(first), FileKind::kRegular);
  EXPECT_THAT(Name(PathFromUtf8(first).filename()), testing::StartsWith("~QX"));
  EXPECT_TRUE(RemoveFile(first));
  EXPECT_TRUE(RemoveFile(second));
  EXPECT_EQ(KindOf(first), FileKind::kMissing);
}

TEST_F(FilesTest, NamesOfOneFileAreTheSameFile) {
  WriteBytes(dir / "a", {1});
  WriteBytes(dir / "b", {1});
  EXPECT_TRUE(SameFile(Name(dir / "a"), Name(dir.path() / "." / "a")));
  EXPECT_FALSE(SameFile(Name(dir / "a"), Name(dir / "b")));
  EXPECT_FALSE(SameFile(Name(dir / "a"), Name(dir / "missing")));
}

TEST(FileNames, WhatNoSystemTakesIsRefused) {
  for (const char* name : {"", ".", "..", "a/b", "esc\x1b[2J", "tab\tname", "del\x7f"})
    EXPECT_FALSE(FileNameProblem(name).empty()) << name;
  for (const char* name : {"cal.bin", "EEPROM.DAT", "name with blanks.bin"})
    EXPECT_EQ(FileNameProblem(name), "") << name;
}

struct Utf16Row {
  const char* utf8;
  std::wstring utf16;
};

TEST(Utf16, ConvertsBothWaysAndReplacesWhatIsNoText) {
  const Utf16Row rows[] = {
      {"COM3", L"COM3"},
      {"Fran\xC3\xA7"
       "ais",
       L"Fran\u00E7ais"},
      {"\xE2\x82\xAC", L"\u20AC"},
      // Beyond the first plane: a surrogate pair.
      {"\xF0\x9F\x94\x8C", std::wstring{wchar_t(0xD83D), wchar_t(0xDD0C)}},
  };
  for (const Utf16Row& row : rows) {
    EXPECT_EQ(Utf16FromUtf8(row.utf8), row.utf16) << row.utf8;
    EXPECT_EQ(Utf8FromUtf16(row.utf16), row.utf8) << row.utf8;
  }
  // A Windows-1252 byte, an overlong form, a cut-off sequence, a lone surrogate.
  EXPECT_EQ(Utf16FromUtf8("a\xE7"
                          "b"),
            L"a\uFFFDb");
  EXPECT_EQ(Utf16FromUtf8("\xC0\xAF"), L"\uFFFD\uFFFD");
  EXPECT_EQ(Utf16FromUtf8("x\xE2\x82"), L"x\uFFFD\uFFFD");
  EXPECT_EQ(Utf8FromUtf16(std::wstring{wchar_t(0xDC00), L'a'}),
            "\xEF\xBF\xBD"
            "a");
}

TEST(Sha256, KnownDigestsAcrossBlockBorders) {
  const std::pair<std::string, const char*> rows[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000, 'a'), "41edece42d63e8d9bf515a9ba6932e1c20cbc9f5a5d134645adb5db1b9737ea3"},
  };
  for (const auto& [text, digest] : rows) {
    Sha256 whole;
    whole.Update(Bytes(text));
    EXPECT_EQ(whole.FinishHex(), digest) << text.size();
    // Fed in uneven pieces, as a file is read.
    Sha256 pieces;
    for (std::size_t at = 0; at < text.size(); at += 7) pieces.Update(Bytes(text.substr(at, 7)));
    EXPECT_EQ(pieces.FinishHex(), digest) << text.size();
  }
}

}  // namespace
}  // namespace pelvane::core
