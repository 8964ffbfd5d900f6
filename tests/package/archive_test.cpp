#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>

#include "package/package_archive.h"
#include "package/package_info.h"
#include "package/text_encoding.h"
#include "package_fixture.h"

namespace pelvane::package {
namespace {

using test::Bytes;
using test::PackageTest;

class ArchiveTest : public PackageTest {};

TEST_F(ArchiveTest, MembersMatchWithoutRegardToCase) {
  std::string path = MakePackage("[HOST]\n", {{"Readme.txt", Bytes(5)}}, "a.qxpkg", "My Package");
  PackageArchive archive(path);
  EXPECT_TRUE(archive.IsPackage());
  EXPECT_EQ(archive.CountMembers("qxconfig.ini"), 1);
  EXPECT_EQ(archive.CountMembers("README.TXT"), 1);
  EXPECT_EQ(archive.CountMembers("absent.bin"), 0);
  EXPECT_EQ(archive.MemberSize("boot.bin"), 1000);
  EXPECT_EQ(archive.MemberSize("absent.bin"), 0);
  EXPECT_EQ(archive.Comment(), "My Package");
  EXPECT_EQ(PackageArchive(MakePackage("x", {}, "b.qxpkg")).Comment(), "");
  // A package replaced on disk is read afresh, not from what was kept of the old one.
  std::filesystem::rename(MakePackage("[HOST]\n", {{"NEW.BIN", Bytes(7)}}, "c.qxpkg", "Newer"),
                          path);
  EXPECT_EQ(archive.CountMembers("README.TXT"), 0);
  EXPECT_EQ(archive.MemberSize("new.bin"), 7);
  EXPECT_EQ(archive.Comment(), "Newer");
}

TEST_F(ArchiveTest, ReadMemberTextHonoursOffsetAndCount) {
  std::string path = MakePackage("", {{"QXNOTES.TXT", std::vector<std::uint8_t>(300, 'n')}});
  PackageArchive archive(path);
  std::string text;
  ASSERT_TRUE(archive.ReadMemberText("QXNOTES.TXT", 0, kNotesLength, text));
  EXPECT_EQ(text.size(), 256u);
  ASSERT_TRUE(archive.ReadMemberText("QXNOTES.TXT", 290, 256, text));
  EXPECT_EQ(text.size(), 10u);
  EXPECT_FALSE(archive.ReadMemberText("nothere", 0, 10, text));
  EXPECT_TRUE(text.empty());
}

TEST_F(ArchiveTest, DisplayNameAndNotes) {
  std::string with = MakePackage("", {{"qxnotes.txt", std::vector<std::uint8_t>(300, 'n')}},
                                 "with.qxpkg", "Firmware 2.1");
  EXPECT_EQ(PackageDisplayName(PackageArchive(with)), "Firmware 2.1");
  EXPECT_EQ(PackageNotes(PackageArchive(with)), std::string(256, 'n'));
  // 256 characters, not bytes: a two-byte character is never split, and a
  // file that is not UTF-8 is Windows-1252.
  std::string umlauts;
  for (int i = 0; i < 300; ++i) umlauts += "\xC3\xB6";  // UTF-8 "ö"
  const std::string cp1252 =
      "Gr\xF6\xDF"
      "e";  // Windows-1252 "Größe"
  std::vector<std::uint8_t> utf8Bytes(umlauts.begin(), umlauts.end());
  EXPECT_EQ(PackageNotes(PackageArchive(MakePackage("", {{"QXNOTES.TXT", utf8Bytes}}, "u.qxpkg"))),
            umlauts.substr(0, 512));
  EXPECT_EQ(PackageNotes(PackageArchive(MakePackage(
                "", {{"QXNOTES.TXT", std::vector<std::uint8_t>(cp1252.begin(), cp1252.end())}},
                "w.qxpkg"))),
            "Gr\xC3\xB6\xC3\x9F"
            "e");
  std::string without = MakePackage("", {}, "without.qxpkg");
  EXPECT_EQ(PackageDisplayName(PackageArchive(without)), without);
  EXPECT_EQ(PackageNotes(PackageArchive(without)), "");
}

TEST_F(ArchiveTest, BlockReadsServeTheShortLastBlock) {
  PackageArchive archive(MakePackage(""));
  std::array<std::uint8_t, 240> buffer{};
  std::vector<std::uint8_t> expected = Bytes(1000, 7);
  std::vector<std::uint8_t> assembled;
  std::int64_t offset = 0;
  int blocks = 0;
  for (;;) {
    std::int32_t n = archive.ReadBlock("BOOT.BIN", buffer, offset);
    if (n == 0) break;
    assembled.insert(assembled.end(), buffer.begin(), buffer.begin() + n);
    offset += n;
    ++blocks;
  }
  EXPECT_EQ(blocks, 5);  // four of 240, one of 40
  EXPECT_EQ(assembled, expected);
  EXPECT_EQ(archive.ReadBlock("BOOT.BIN", buffer, -1), 0);
  EXPECT_EQ(archive.ReadBlock("absent", buffer, 0), 0);
  // After a miss the next read of the real member is right again.
  EXPECT_EQ(archive.ReadBlock("boot.bin", buffer, 960), 40);
  EXPECT_EQ(buffer[0], expected[960]);
}

TEST_F(ArchiveTest, CacheNeverServesAnotherPackagesMember) {
  std::string first = MakePackage("", {{"DATA.BIN", Bytes(16, 1)}}, "first.qxpkg");
  std::string second = MakePackage("", {{"DATA.BIN", Bytes(16, 100)}}, "second.qxpkg");
  std::array<std::uint8_t, 4> buffer{};
  PackageArchive a(first);
  ASSERT_EQ(a.ReadBlock("DATA.BIN", buffer, 0), 4);
  EXPECT_EQ(buffer[0], 1);
  PackageArchive b(second);
  ASSERT_EQ(b.ReadBlock("DATA.BIN", buffer, 0), 4);
  EXPECT_EQ(buffer[0], 100);
}

TEST_F(ArchiveTest, NotAZipGivesAClearError) {
  WriteFile(Path("plain.qxpkg"), "this is not a zip archive at all");
  PackageArchive archive(Path("plain.qxpkg"));
  EXPECT_FALSE(archive.IsPackage());
  EXPECT_EQ(archive.LastError(), Path("plain.qxpkg") + " is not a ZIP archive");
  PackageArchive missing(Path("nothing.qxpkg"));
  EXPECT_EQ(missing.CountMembers("QXCONFIG.INI"), 0);
  EXPECT_NE(missing.LastError().find("cannot open package " + Path("nothing.qxpkg")),
            std::string::npos);
  std::vector<std::uint8_t> bytes;
  EXPECT_FALSE(missing.ReadMemberBytes("QXCONFIG.INI", bytes));
}

TEST_F(ArchiveTest, TruncatedArchiveIsRefused) {
  std::string path = MakePackage("", {{"BIG.BIN", Bytes(20000)}});
  std::filesystem::resize_file(path, std::filesystem::file_size(path) / 2);
  PackageArchive archive(path);
  EXPECT_FALSE(archive.IsPackage());
  std::vector<std::uint8_t> bytes;
  EXPECT_FALSE(archive.ReadMemberBytes("BIG.BIN", bytes));
  EXPECT_TRUE(bytes.empty());
  EXPECT_FALSE(archive.LastError().empty());
}

// Rewrites a 32-bit field (the CRC at 16, the uncompressed size at 24) of
// every central-directory entry, as a damaged or hostile archive might claim.
void ClaimField(const std::string& path, std::size_t offset, std::uint32_t value) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  std::string data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  for (std::size_t pos = data.find("PK\x01\x02"); pos != std::string::npos;
       pos = data.find("PK\x01\x02", pos + 4)) {
    file.seekp(static_cast<std::streamoff>(pos + offset));
    for (int i = 0; i < 4; ++i) file.put(static_cast<char>((value >> (8 * i)) & 0xFF));
  }
}
void ClaimSize(const std::string& path, std::uint32_t size) {
  ClaimField(path, 24, size);
}

TEST_F(ArchiveTest, AbsurdMemberSizeIsRefusedBeforeReading) {
  std::string path = MakePackage("");
  ClaimSize(path, 0x7FFFFFF0);
  PackageArchive archive(path);
  EXPECT_EQ(archive.MemberSize("BOOT.BIN"), 0x7FFFFFF0);
  std::vector<std::uint8_t> bytes;
  EXPECT_FALSE(archive.ReadMemberBytes("BOOT.BIN", bytes));
  EXPECT_NE(archive.LastError().find("more than the 67108864"), std::string::npos)
      << archive.LastError();
  std::array<std::uint8_t, 16> buffer{};
  EXPECT_EQ(archive.ReadBlock("BOOT.BIN", buffer, 0), 0);
}

TEST_F(ArchiveTest, SizeThatDisagreesWithTheDataIsAnError) {
  std::string path = MakePackage("");
  ClaimSize(path, 2000);  // BOOT.BIN really holds 1000 bytes
  std::vector<std::uint8_t> bytes;
  PackageArchive archive(path);
  EXPECT_FALSE(archive.ReadMemberBytes("BOOT.BIN", bytes));
  EXPECT_FALSE(archive.LastError().empty());
}

// Every byte comes, but their CRC is not the one the archive holds: the
// member is damaged, which only the end of its data can show.
TEST_F(ArchiveTest, MemberWhoseCrcDoesNotFitIsAnError) {
  std::string path = MakePackage("");
  ClaimField(path, 16, 0x12345678);
  std::vector<std::uint8_t> bytes;
  PackageArchive archive(path);
  EXPECT_FALSE(archive.ReadMemberBytes("BOOT.BIN", bytes));
  EXPECT_NE(archive.LastError().find("BOOT.BIN"), std::string::npos) << archive.LastError();
}

TEST_F(ArchiveTest, WriterRefusesAnEmptyPackageAndBadPaths) {
  PackageWriter writer;
  EXPECT_FALSE(writer.Write(Path("empty.qxpkg")));
  EXPECT_EQ(writer.Error(), "a package needs at least one member");
  writer.AddMember("A", "a");
  EXPECT_FALSE(writer.Write(Path("no/such/dir/p.qxpkg")));
  EXPECT_FALSE(writer.Error().empty());
  writer.SetComment("c");
  EXPECT_TRUE(writer.Write(Path("ok.qxpkg"))) << writer.Error();
  EXPECT_EQ(PackageArchive(Path("ok.qxpkg")).Comment(), "c");
}

// Package texts written by Windows tools: UTF-8 stays as it is, anything else
// is read as Windows-1252, so the result is always valid UTF-8.
TEST(TextEncoding, Utf8StaysAndWindows1252BecomesUtf8) {
  const std::pair<std::string, std::string> rows[] = {
      {"plain ASCII", "plain ASCII"},
      {"Gr\xC3\xB6\xC3\x9F"
       "e",
       "Gr\xC3\xB6\xC3\x9F"
       "e"},  // UTF-8 "Größe"
      {"Gr\xF6\xDF"
       "e",
       "Gr\xC3\xB6\xC3\x9F"
       "e"},                                                 // Windows-1252 "Größe"
      {"\x80 5", "\xE2\x82\xAC 5"},                          // the euro sign
      {"\x93quoted\x94", "\xE2\x80\x9Cquoted\xE2\x80\x9D"},  // curly quotes
      {"cut \xC3", "cut \xC3\x83"},                          // a UTF-8 lead cut off
      {"\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xE2\x82\xAC"},      // a surrogate is not UTF-8
      {"\xC0\xAF", "\xC3\x80\xC2\xAF"},                      // neither is an overlong form
  };
  for (const auto& [in, out] : rows) {
    EXPECT_EQ(ToUtf8(in), out) << in;
    EXPECT_TRUE(IsValidUtf8(ToUtf8(in))) << in;
  }
}

}  // namespace
}  // namespace pelvane::package
