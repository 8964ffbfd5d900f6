// pelvane-pkg against packages built in the test: a broken one with every
// problem an author should fix, a sound one, and the folder-to-package path.
#include "pkg/package_tool.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "options/options.h"
#include "package/package_archive.h"
#include "package/package_writer.h"
#include "pkg/package_check.h"
#include "support/test_files.h"

namespace pelvane::pkg {
namespace {

namespace fs = std::filesystem;

// Paths in it are strings, as the tool's arguments are.
class TempDir {
 public:
  std::string operator/(const std::string& name) const { return (dir_ / name).string(); }

 private:
  test::ScratchDir dir_{"pelvane-pkg-test",
                        testing::UnitTest::GetInstance()->current_test_info()->name()};
};

const char* kSoundConfiguration = R"([HOST]
MAXPROGLEN=240
PORTS=COM1,GPIB
UART=COM1
BAUD=57600
TRANSFER=XFER.BIN,0x8000,0x8000
FIRMWARE_LANGUAGES=English,German
[TARGET]
PROCESSOR=I80X86
ARCHITECTURE=B16
MEMORY=0x400000,0x80000,AM29F040
MEMORY1=0x480000,0x80000,AM29F040
ERASE=0x400000,0x10000
ERASE1=0x480000,0x10000
[FILES]
UPLOAD=0x4F0000,0x200,cal.bin
PROGRAM=0x400000,BOOT.BIN
[ENGLISH]
PROGRAM1=0x480000,EN.BIN
[GERMAN]
PROGRAM1=0x480000,DE.BIN
)";

std::string WritePackage(const std::string& path, const std::string& configuration,
                         const std::vector<std::string>& members) {
  package::PackageWriter writer;
  writer.AddMember("QXCONFIG.INI", configuration);
  for (const auto& name : members) writer.AddMember(name, std::vector<std::uint8_t>(32, 0x5A));
  EXPECT_TRUE(writer.Write(path)) << writer.Error();
  return path;
}

bool Mentions(const CheckReport& r, const std::string& a, const std::string& b = "") {
  for (const auto& p : r.problems) {
    if (p.find(a) != std::string::npos && p.find(b) != std::string::npos) return true;
  }
  return false;
}

TEST(PackageCheckTest, SoundPackagePasses) {
  TempDir dir;
  const auto path = WritePackage(dir / "sound.qxpkg", kSoundConfiguration,
                                 {"XFER.BIN", "BOOT.BIN", "EN.BIN", "DE.BIN"});
  const CheckReport r = CheckPackage(path);
  EXPECT_TRUE(r.loaded);
  EXPECT_TRUE(r.problems.empty()) << r.problems.front();
}

TEST(PackageCheckTest, FindsEveryProblemOfABrokenPackage) {
  TempDir dir;
  const std::string ini = R"([HOST]
MAXPROGLEN=300
PORTS=COM1,GPIB
UART=COM1
BAUD=56000
TRANSFER=MISSING.BIN,0x8000,0x8000
FIRMWARE_LANGUAGES=English,German
[TARGET]
PROCESSOR=I80X86
ARCHITECTURE=B8
MEMORY=0x400000,0x80000,AM29F040
MEMORY1=0x470000,0x20000,NOR9000
ERASE=0x400000,0x1000
ERASE1=0x600000,0x100
[FILES]
UPLOAD=0x900000,0x10,cal.bin
UPLOAD1=0x400000,0x10,sub/CAL.BIN
UPLOAD2=0x400000,0x10,..\fw\Broken.QXPKG
PROGRAM=0x400000,BOOT.BIN
PROGRAM1=0x48FFF0,EDGE.BIN
PROGRAM2=0x400100,GONE.BIN
[GERMAN]
PROGRAM3=0x400200,DE.BIN
)";
  const auto path = WritePackage(dir / "broken.qxpkg", ini, {"BOOT.BIN", "EDGE.BIN"});
  const CheckReport r = CheckPackage(path);
  ASSERT_TRUE(r.loaded);
  EXPECT_TRUE(Mentions(r, "MAXPROGLEN 300", "program blocks"));
  EXPECT_TRUE(Mentions(r, "MAXPROGLEN 300", "read answers"));
  EXPECT_TRUE(Mentions(r, "BAUD 56000", "speed check"));
  EXPECT_TRUE(Mentions(r, "transfer program MISSING.BIN", "not in the package"));
  EXPECT_TRUE(Mentions(r, "unknown flash", "NOR9000"));
  EXPECT_TRUE(Mentions(r, "overlap"));
  EXPECT_TRUE(Mentions(r, "erase range 0x600000", "outside"));
  EXPECT_FALSE(Mentions(r, "erase range 0x400000"));
  EXPECT_TRUE(Mentions(r, "upload range 0x900000", "outside"));
  EXPECT_TRUE(Mentions(r, "EDGE.BIN", "outside every flash memory"));
  EXPECT_TRUE(Mentions(r, "GONE.BIN", "not in the package"));
  // Found only in the German program list.
  EXPECT_TRUE(Mentions(r, "DE.BIN", "(firmware language GERMAN)"));
  EXPECT_FALSE(Mentions(r, "BOOT.BIN"));
  EXPECT_TRUE(Mentions(r, "GONE.BIN"));
  EXPECT_FALSE(Mentions(r, "GONE.BIN", "language"));
  // Read-back files of one run never share a file, nor take the package's.
  EXPECT_TRUE(Mentions(r, "upload files cal.bin and sub/CAL.BIN would both be written as CAL.BIN"));
  EXPECT_TRUE(Mentions(r, "..\\fw\\Broken.QXPKG", "package's own name"));
  EXPECT_EQ(r.problems.size(), 13u);
}

// Every member the upload sends is read whole, as the upload does before it
// erases; a download name with folders is a warning, the upload copes.
TEST(PackageCheckTest, DamagedMemberAndDownloadNamesWithFolders) {
  TempDir dir;
  std::string ini = kSoundConfiguration;
  ini.replace(ini.find("cal.bin"), 7, "C:\\CAL\\cal.bin");
  // de.bin beside DE.BIN: the loader finds the first and never the other.
  auto zip = test::FileBytes(
      WritePackage(dir / "p.qxpkg", ini, {"XFER.BIN", "BOOT.BIN", "EN.BIN", "DE.BIN", "de.bin"}));
  // The central directory's CRC of EN.BIN no longer fits its data.
  for (std::size_t i = 0; i + 52 <= zip.size(); ++i)
    if (std::string(zip.begin() + static_cast<long>(i), zip.begin() + static_cast<long>(i) + 4) ==
            "PK\x01\x02" &&
        std::string(zip.begin() + static_cast<long>(i) + 46,
                    zip.begin() + static_cast<long>(i) + 52) == "EN.BIN")
      zip[i + 16] ^= 1;
  test::WriteBytes(dir / "p.qxpkg", zip);
  const CheckReport r = CheckPackage(dir / "p.qxpkg");
  ASSERT_EQ(r.problems.size(), 1u);
  EXPECT_TRUE(Mentions(r, "member EN.BIN cannot be read", "CRC"));
  ASSERT_EQ(r.warnings.size(), 2u);
  EXPECT_EQ(
      r.warnings[0],
      "members DE.BIN, de.bin differ only in case: Pelvane reads DE.BIN and never the others");
  EXPECT_EQ(r.warnings[1],
            "upload file C:\\CAL\\cal.bin has a folder part or a drive letter: Pelvane writes it "
            "as cal.bin inside the output folder");
}

TEST(PackageCheckTest, ProgramMadeByADownloadIsNotMissing) {
  TempDir dir;
  std::string ini = kSoundConfiguration;
  ini.replace(ini.find("PROGRAM=0x400000,BOOT.BIN"), 25, "PROGRAM=0x4F0000,CAL.BIN");
  const auto path = WritePackage(dir / "p.qxpkg", ini, {"XFER.BIN", "EN.BIN", "DE.BIN"});
  const CheckReport r = CheckPackage(path);
  EXPECT_TRUE(r.problems.empty()) << r.problems.front();
}

TEST(PackageCheckTest, UnloadablePackageSaysWhy) {
  TempDir dir;
  package::PackageWriter writer;
  writer.AddMember("README.TXT", std::string("no configuration"));
  ASSERT_TRUE(writer.Write(dir / "none.qxpkg"));
  const CheckReport r = CheckPackage(dir / "none.qxpkg");
  EXPECT_FALSE(r.loaded);
  ASSERT_EQ(r.problems.size(), 1u);
  EXPECT_NE(r.problems[0].find("Configuration file not found"), std::string::npos);
}

int Tool(const std::vector<std::string>& args, std::string* out = nullptr,
         std::string* err = nullptr) {
  std::ostringstream o, e;
  const int rc = RunPackageTool(args, o, e);
  if (out) *out = o.str();
  if (err) *err = e.str();
  return rc;
}

TEST(PackageToolTest, CreateShowAndCheckAFolder) {
  TempDir dir;
  const fs::path folder = dir / "src";
  fs::create_directories(folder / "extra");
  std::ofstream(folder / "QXCONFIG.INI") << kSoundConfiguration;
  std::ofstream(folder / "XFER.BIN.hex") << "# transfer program\n01 02 03\n04\n";
  for (const char* name : {"BOOT.BIN", "EN.BIN", "DE.BIN"}) std::ofstream(folder / name) << "data";
  std::ofstream(folder / "extra" / "notes.txt") << "n";
  const std::string out_path = dir / "out.qxpkg";

  std::string out, err;
  ASSERT_EQ(Tool({"create", folder.string(), out_path, "--comment", "Test Firmware", "--hex"}, &out,
                 &err),
            kExitOk)
      << err;
  // Options before the words and the "=" form work as well.
  ASSERT_EQ(Tool({"create", "--comment=Named = so", "--hex", folder.string(), dir / "eq.qxpkg"},
                 &out, &err),
            kExitOk)
      << err;
  EXPECT_EQ(package::PackageArchive(dir / "eq.qxpkg").Comment(), "Named = so");
  // The output is not replaced without consent.
  EXPECT_EQ(Tool({"create", folder.string(), out_path}, nullptr, &err), kExitProblems);
  EXPECT_NE(err.find("--force"), std::string::npos);
  EXPECT_EQ(Tool({"create", folder.string(), out_path, "--hex", "--force"}), kExitOk);

  ASSERT_EQ(Tool({"show", out_path}, &out, &err), kExitOk) << err;
  EXPECT_NE(out.find("XFER.BIN  4 bytes"), std::string::npos) << out;
  EXPECT_NE(out.find("extra/notes.txt"), std::string::npos);
  EXPECT_NE(out.find("At BAUD rate = 57600"), std::string::npos);
  EXPECT_NE(out.find("Flash Memory=AM29F040 (16) 400000~ H480000: H80000"), std::string::npos);

  EXPECT_EQ(Tool({"check", out_path}, &out), kExitOk) << out;
  EXPECT_NE(out.find("no problems found"), std::string::npos);
}

TEST(PackageToolTest, CreateRefusesFoldersWithoutConfiguration) {
  TempDir dir;
  fs::create_directories(dir / "src");
  std::ofstream(dir / "src/A.BIN") << "a";
  std::string err;
  EXPECT_EQ(Tool({"create", dir / "src", dir / "o.qxpkg"}, nullptr, &err), kExitProblems);
  EXPECT_NE(err.find("QXCONFIG.INI"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir / "o.qxpkg"));
  std::ofstream(dir / "src/QXCONFIG.INI") << kSoundConfiguration;
  std::ofstream(dir / "src/B.hex") << "0G";
  EXPECT_EQ(Tool({"create", dir / "src", dir / "o.qxpkg", "--hex"}, nullptr, &err), kExitProblems);
  EXPECT_NE(err.find("B.hex"), std::string::npos);
  // A link leading out of the folder would become a member "../../x" that
  // unpacks outside: refused, and no package is written.
  fs::remove(dir / "src/B.hex");
  std::ofstream(dir / "secret") << "outside";
  std::error_code noLinks;
  fs::create_symlink(dir / "secret", dir / "src/LINK.BIN", noLinks);
  if (noLinks) GTEST_SKIP() << "no symbolic links here: " << noLinks.message();
  err.clear();
  EXPECT_EQ(Tool({"create", dir / "src", dir / "o.qxpkg"}, nullptr, &err), kExitProblems);
  EXPECT_NE(err.find("LINK.BIN leads outside"), std::string::npos) << err;
  EXPECT_FALSE(fs::exists(dir / "o.qxpkg"));
  // A link to a file inside is named where it lies.
  fs::remove(dir / "src/LINK.BIN");
  fs::create_directories(dir / "src/sub");
  fs::create_symlink("../A.BIN", dir / "src/sub/COPY.BIN");
  EXPECT_EQ(Tool({"create", dir / "src", dir / "o.qxpkg"}, nullptr, &err), kExitOk) << err;
  std::string out;
  EXPECT_EQ(Tool({"show", dir / "o.qxpkg"}, &out), kExitOk);
  EXPECT_NE(out.find("sub/COPY.BIN"), std::string::npos) << out;
  EXPECT_EQ(out.find(".."), std::string::npos) << out;
}

TEST(PackageToolTest, CheckReportsAndFailsOnProblems) {
  TempDir dir;
  std::string ini = kSoundConfiguration;
  ini.replace(ini.find("BAUD=57600"), 10, "BAUD=0");
  const auto path =
      WritePackage(dir / "p.qxpkg", ini, {"XFER.BIN", "BOOT.BIN", "EN.BIN", "DE.BIN"});
  std::string out;
  EXPECT_EQ(Tool({"check", path}, &out), kExitProblems);
  EXPECT_NE(out.find("1 problem"), std::string::npos) << out;
  // Each problem names the section of the package format's reference that explains it.
  EXPECT_NE(out.find("BAUD 0 fails the speed check for port COM1 (115200 must be a whole multiple "
                     "of it) (package-format.md, \"[HOST]\")\n"),
            std::string::npos)
      << out;
  ini.replace(ini.find("BAUD=0"), 6, "BAUD=x");
  WritePackage(dir / "p.qxpkg", ini, {"XFER.BIN", "BOOT.BIN", "EN.BIN", "DE.BIN"});
  EXPECT_EQ(Tool({"check", path}, &out), kExitProblems);
  EXPECT_NE(out.find("is not a baud rate (package-format.md, \"Load errors\")"), std::string::npos)
      << out;
}

TEST(PackageToolTest, UsageErrors) {
  std::string out, err;
  EXPECT_EQ(Tool({"--help"}, &out), kExitOk);
  EXPECT_NE(out.find("pelvane-pkg check PACKAGE"), std::string::npos);
  EXPECT_EQ(Tool({}), kExitUsage);
  EXPECT_EQ(Tool({"frobnicate"}), kExitUsage);
  EXPECT_EQ(Tool({"check"}), kExitUsage);
  EXPECT_EQ(Tool({"create", "only-one"}), kExitUsage);
  EXPECT_EQ(Tool({"show", "/nonexistent.qxpkg"}, &out, &err), kExitProblems);
  EXPECT_NE(err.find("/nonexistent.qxpkg"), std::string::npos);
  // The first usage error is named, on standard error, with where to look.
  const struct {
    std::vector<std::string> args;
    const char* error;
  } rows[] = {
      {{"create", "f", "o", "--comment"}, "--comment needs a value"},
      {{"create", "--comment=x"}, "create wants FOLDER and OUTPUT"},
      {{"create", "f", "o", "--hex=1"}, "--hex takes no value"},
      {{"create", "f", "o", "--forc"}, "unknown option --forc"},
      {{"create", "f", "o", "extra", "--bogus"}, "create wants FOLDER and OUTPUT"},
      {{"show", "--hex", "p"}, "--hex is an option of create"},
      {{"show", "a", "b", "--bogus"}, "show wants one PACKAGE"},
      {{"frobnicate", "--bogus"}, "unknown command frobnicate"},
      {{"--bogus", "frobnicate"}, "unknown option --bogus"},
      {{"--force"}, "--force is an option of create"},
      {{"--help", "-x"}, "unknown option -x"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(Tool(row.args, &out, &err), kExitUsage) << row.error;
    EXPECT_EQ(err, "pelvane-pkg: " + std::string(row.error) + "\nTry 'pelvane-pkg --help'.\n");
  }
  for (const std::vector<std::string>& help :
       {std::vector<std::string>{"-h"}, {"help"}, {"show", "p", "--help"}}) {
    EXPECT_EQ(Tool(help, &out), kExitOk) << help.front();
    EXPECT_NE(out.find("  --comment TEXT         the archive comment"), std::string::npos);
    EXPECT_NE(out.find("  -h, --help             show this text and exit\n"), std::string::npos);
  }
  EXPECT_EQ(Tool({"--version"}, &out), kExitOk);
  EXPECT_EQ(out, "pelvane-pkg " + std::string(options::ProjectVersion()) + "\n");
}

}  // namespace
}  // namespace pelvane::pkg
