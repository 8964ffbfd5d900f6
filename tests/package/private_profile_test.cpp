#include "package/private_profile.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace pelvane::package {
namespace {

using namespace std::string_literals;

TEST(PrivateProfile, SectionsAndKeysMatchWithoutRegardToCase) {
  PrivateProfile profile("[Host]\r\nBaud = 9600 \r\n[target]\nprocessor=I80X86\n");
  EXPECT_EQ(profile.Get("HOST", "BAUD"), "9600");
  EXPECT_EQ(profile.Get("host", "baud"), "9600");
  EXPECT_EQ(profile.Get("TARGET", "PROCESSOR"), "I80X86");
  EXPECT_EQ(profile.Get("TARGET", "BAUD"), std::nullopt);
  EXPECT_EQ(profile.Get("NONE", "X"), std::nullopt);
  EXPECT_TRUE(profile.HasSection("Target"));
}

TEST(PrivateProfile, FirstSectionAndFirstKeyWin) {
  PrivateProfile profile("[A]\nK=1\nk=2\n[B]\nK=3\n[a]\nK=4\nNEW=5\n");
  EXPECT_EQ(profile.Get("A", "K"), "1");
  EXPECT_EQ(profile.Get("A", "NEW"), std::nullopt);
  EXPECT_EQ(profile.Get("B", "K"), "3");
}

TEST(PrivateProfile, CommentsQuotesEmptyValuesAndOddLines) {
  PrivateProfile profile(
      "\xEF\xBB\xBF"
      "K0=before any section\n"
      "[S]\n"
      "; a comment line\n"
      "Q=\"quoted value\"\n"
      "E=\n"
      "no equals sign here\n"
      "V=a=b ; c\n"
      "[ Spaced ]\n"
      "X=1");
  EXPECT_EQ(profile.Get("", "K0"), std::nullopt);
  EXPECT_EQ(profile.Get("S", "Q"), "quoted value");
  EXPECT_EQ(profile.Get("S", "E"), "");
  EXPECT_EQ(profile.Get("S", "V"), "a=b ; c");  // comments are the key reader's business
  EXPECT_EQ(profile.Get("Spaced", "X"), "1");
  EXPECT_EQ(profile.Get("S", "no equals sign here"), std::nullopt);
}

TEST(PrivateProfile, LongValuesAreReadWhole) {
  std::string value(1000, 'v');
  PrivateProfile profile("[S]\nK=" + value + "\n");
  EXPECT_EQ(profile.Get("S", "K"), value);
}

// What Windows' GetPrivateProfileString gives for files as Windows tools
// write them: the file's bytes, the names asked for, the value (nullopt: not found).
struct ProfileRow {
  const char* what;
  std::string file;
  const char* section;
  const char* key;
  std::optional<std::string> value;
};

TEST(PrivateProfile, ReadsFilesAsWindowsDoes) {
  const ProfileRow rows[] = {
      {"single quotes go", "[HOST]\nTRANSFER='XFER.BIN,0x8000,0x8000'\n", "HOST", "TRANSFER",
       "XFER.BIN,0x8000,0x8000"},
      {"single quotes after blanks", "[F]\nPROGRAM =  '0x400000,BOOT.BIN' \n", "F", "PROGRAM",
       "0x400000,BOOT.BIN"},
      {"quotes that do not match stay", "[S]\nK='a\"\n", "S", "K", "'a\""},
      {"a lone quote stays", "[S]\nK='\n", "S", "K", "'"},
      {"empty quotes", "[S]\nK=''\n", "S", "K", ""},
      {"a NUL ends its line", "[S]\nK=ab\0cd\nL=2\n"s, "S", "K", "ab"},
      {"the line after a NUL", "[S]\nK=ab\0cd\nL=2\n"s, "S", "L", "2"},
      {"NUL padding at the end", "[S]\r\nK=v\r\n\0\0\0\0\0\0"s, "S", "K", "v"},
      {"one NUL at the end", "[S]\nK=v\0"s, "S", "K", "v"},
      {"^Z at the end", "[S]\nB=v\x1A", "S", "B", "v"},
      {"^Z on a line of its own", "[S]\nB=v\n\x1A", "S", "B", "v"},
      {"vertical tab and form feed are blanks", "[S]\n\vK\f=\f v \v\n", "S", "K", "v"},
      {"[T without ] is no header", "[A]\nK=1\n[T\nL=2\n", "A", "L", "2"},
      {"[T without ] names no section", "[A]\nK=1\n[T\nL=2\n", "T", "L", std::nullopt},
      {"the name runs to the last ]", "[A]B]\nK=1\n", "A]B", "K", "1"},
      {"the name is not cut at the first ]", "[A]B]\nK=1\n", "A", "K", std::nullopt},
      {"a comment after the header", "[HOST] ; main\nK=1\n", "HOST", "K", "1"},
      {"lines ended by CR alone", "[S]\rK=v\rL=w", "S", "L", "w"},
      {"Windows-1252 section, UTF-8 name",
       "[FRAN\xC7"
       "AIS]\nPROGRAM1=x\n",
       "Fran\xC3\xA7"
       "ais",
       "program1", "x"},
      {"UTF-8 section, Windows-1252 name",
       "[Fran\xC3\xA7"
       "ais]\nK=x\n",
       "FRAN\xE7"
       "AIS",
       "K", "x"},
      {"Windows-1252 key in any case", "[S]\n\xE9t\xE9=1\n", "S", "\xC3\x89T\xC3\x89", "1"},
      {"letters outside Latin-1 of the code page", "[\x9A\x9C\x9E\xFF]\nK=1\n", "\x8A\x8C\x8E\x9F",
       "K", "1"},
  };
  for (const ProfileRow& row : rows) {
    EXPECT_EQ(PrivateProfile(row.file).Get(row.section, row.key), row.value) << row.what;
  }
}

}  // namespace
}  // namespace pelvane::package
