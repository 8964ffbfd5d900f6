#include "commandline/qn_command_line.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

namespace pelvane::commandline {
namespace {

// Only the names listed exist.
QN_CommandLine WithFiles(std::set<std::string> files) {
  return QN_CommandLine([files](const std::string& path) { return files.count(path) > 0; });
}

TEST(LegacyCommandLine, TextBeforeTheFirstSlashIsIgnored) {
  QN_CommandLine cl = WithFiles({});
  cl.CommandLine("pkg.qxpkg /AUTOSTART");
  EXPECT_TRUE(cl.AutoStart());
  EXPECT_FALSE(cl.Filename());
  EXPECT_EQ(cl.FilePath(), "");
  EXPECT_EQ(cl.GetLastError(), 0);
  EXPECT_EQ(cl.CommandLine(), "pkg.qxpkg /AUTOSTART");

  QN_CommandLine none = WithFiles({});
  none.CommandLine("no switches at all");
  EXPECT_EQ(none.GetLastError(), 0);
  EXPECT_FALSE(none.AutoStart());
}

TEST(LegacyCommandLine, EverySwitchSetsItsField) {
  QN_CommandLine cl = WithFiles({"C:\\pkgs\\fw.qxpkg"});
  cl.CommandLine(
      "/TRANSFERONLY /AUTOSTART /ADV_DISPLAY /PORTCOM2 /FIRMWARE_LANGUAGEGERMAN "
      "/FC:\\pkgs\\fw.qxpkg");
  EXPECT_EQ(cl.GetLastError(), 0) << cl.GetLastErrorString();
  EXPECT_TRUE(cl.TransferOnly());
  EXPECT_TRUE(cl.AutoStart());
  EXPECT_TRUE(cl.Advanced());
  EXPECT_TRUE(cl.PortSet());
  EXPECT_EQ(cl.Port(), "COM2");
  EXPECT_TRUE(cl.FirmwareLanguageSet());
  EXPECT_EQ(cl.FirmwareLanguage(), "GERMAN");
  EXPECT_TRUE(cl.Filename());
  EXPECT_EQ(cl.FilePath(), "C:\\pkgs\\fw.qxpkg");
  EXPECT_FALSE(cl.GnuStyle());
}

TEST(LegacyCommandLine, PrefixSwitchesTakeTheRestUnchanged) {
  QN_CommandLine cl = WithFiles({});
  cl.CommandLine("/PORT COM2");
  EXPECT_EQ(cl.Port(), " COM2");  // inner blank kept: only the element is trimmed
  QN_CommandLine portable = WithFiles({});
  portable.CommandLine("/PORTABLE");
  EXPECT_EQ(portable.Port(), "ABLE");
  QN_CommandLine empty = WithFiles({});
  empty.CommandLine("/PORT");
  EXPECT_TRUE(empty.PortSet());
  EXPECT_EQ(empty.Port(), "");
  // A device path is the rest of its argument, slashes and all.
  for (const char* text :
       {"/PORT/dev/ttyUSB0", "/PORT/dev/ttyUSB0 /AUTOSTART", "/AUTOSTART /PORT/dev/ttyUSB0"}) {
    QN_CommandLine device = WithFiles({});
    device.CommandLine(text);
    EXPECT_EQ(device.GetLastError(), 0) << text << device.GetLastErrorString();
    EXPECT_EQ(device.Port(), "/dev/ttyUSB0") << text;
    EXPECT_EQ(device.AutoStart(), std::string(text).find("AUTOSTART") != std::string::npos);
  }
  QN_CommandLine language = WithFiles({});
  language.CommandLine("/FIRMWARE_LANGUAGE");
  EXPECT_TRUE(language.FirmwareLanguageSet());
  EXPECT_EQ(language.FirmwareLanguage(), "");
  // FIRMWARE_LANGUAGE is tested before F, so it is never taken as a path.
  EXPECT_EQ(language.GetLastError(), 0);
}

TEST(LegacyCommandLine, SwitchesAreCaseSensitive) {
  QN_CommandLine cl = WithFiles({});
  cl.CommandLine("/autostart");
  EXPECT_FALSE(cl.AutoStart());
  EXPECT_EQ(cl.GetLastError(), 14);
  EXPECT_EQ(cl.GetLastErrorString(), "Invalid command line switch /autostart");
}

TEST(LegacyCommandLine, MissingFileIsAnInvalidSwitch) {
  QN_CommandLine cl = WithFiles({});
  cl.CommandLine("/FOO");
  EXPECT_FALSE(cl.Filename());
  EXPECT_EQ(cl.FilePath(), "OO");
  EXPECT_EQ(cl.GetLastErrorString(), "Invalid command line switch /FOO");
}

TEST(LegacyCommandLine, NeverStopsEarlyAndReportsTheLastBadElement) {
  QN_CommandLine cl = WithFiles({});
  cl.CommandLine("/AUTOSTART /XYZ /ABC /TRANSFERONLY");
  EXPECT_TRUE(cl.AutoStart());
  EXPECT_TRUE(cl.TransferOnly());
  EXPECT_EQ(cl.GetLastError(), 14);
  EXPECT_EQ(cl.GetLastErrorString(), "Invalid command line switch /ABC");
}

TEST(LegacyCommandLine, EmptyElementsAreInvalid) {
  QN_CommandLine cl = WithFiles({});
  cl.CommandLine("/AUTOSTART//ADV_DISPLAY");
  EXPECT_TRUE(cl.Advanced());
  EXPECT_EQ(cl.GetLastErrorString(), "Invalid command line switch /");
  QN_CommandLine trailing = WithFiles({});
  trailing.CommandLine("/AUTOSTART /");
  EXPECT_EQ(trailing.GetLastError(), 14);
}

TEST(LegacyCommandLine, LaterMissingFileClearsTheFileFlag) {
  QN_CommandLine cl = WithFiles({"a.qxpkg"});
  cl.CommandLine("/Fa.qxpkg /Fb.qxpkg");
  // The second F names no file: the flag is cleared for it, as the switch
  // table says, and the error names it.
  EXPECT_FALSE(cl.Filename());
  EXPECT_EQ(cl.FilePath(), "b.qxpkg");
  EXPECT_EQ(cl.GetLastErrorString(), "Invalid command line switch /Fb.qxpkg");
}

TEST(LegacyCommandLine, RealFileSystemIsAskedByDefault) {
  std::string path = (std::filesystem::temp_directory_path() / "pelvane-cl-test.qxpkg").string();
  { std::ofstream(path) << "x"; }
  // A path with "/" cannot be given in the legacy form, so go through the
  // current folder.
  std::filesystem::path old = std::filesystem::current_path();
  std::filesystem::current_path(std::filesystem::temp_directory_path());
  QN_CommandLine cl;
  cl.CommandLine("/Fpelvane-cl-test.qxpkg");
  std::filesystem::current_path(old);
  std::filesystem::remove(path);
  EXPECT_TRUE(cl.Filename());
}

TEST(Arguments, NonGnuArgumentsAreJoinedAsLegacyText) {
  QN_CommandLine cl = WithFiles({"fw.qxpkg"});
  cl.ParseArguments({"/Ffw.qxpkg", "/PORTCOM1", "/AUTOSTART"});
  EXPECT_EQ(cl.CommandLine(), "/Ffw.qxpkg /PORTCOM1 /AUTOSTART");
  EXPECT_TRUE(cl.Filename());
  EXPECT_EQ(cl.Port(), "COM1");
  EXPECT_TRUE(cl.AutoStart());
  EXPECT_FALSE(cl.GnuStyle());
  QN_CommandLine none = WithFiles({});
  none.ParseArguments({});
  EXPECT_EQ(none.GetLastError(), 0);
  EXPECT_EQ(none.CommandLine(), "");
}

TEST(Arguments, GnuOptionsSetTheSameFields) {
  QN_CommandLine cl = WithFiles({"/srv/fw/pkg.qxpkg"});
  cl.ParseArguments({"--file", "/srv/fw/pkg.qxpkg", "--port=/dev/ttyUSB0", "--language", "German",
                     "--autostart", "--transfer-only", "--advanced"});
  EXPECT_EQ(cl.GetLastError(), 0) << cl.GetLastErrorString();
  EXPECT_TRUE(cl.GnuStyle());
  EXPECT_TRUE(cl.Filename());
  EXPECT_EQ(cl.FilePath(), "/srv/fw/pkg.qxpkg");
  EXPECT_TRUE(cl.PortSet());
  EXPECT_EQ(cl.Port(), "/dev/ttyUSB0");
  EXPECT_TRUE(cl.FirmwareLanguageSet());
  EXPECT_EQ(cl.FirmwareLanguage(), "German");
  EXPECT_TRUE(cl.AutoStart());
  EXPECT_TRUE(cl.TransferOnly());
  EXPECT_TRUE(cl.Advanced());
  EXPECT_FALSE(cl.HelpRequested());
}

TEST(Arguments, GnuHelpAndVersion) {
  QN_CommandLine cl = WithFiles({});
  cl.ParseArguments({"--help", "--version"});
  EXPECT_TRUE(cl.HelpRequested());
  EXPECT_TRUE(cl.VersionRequested());
  EXPECT_EQ(cl.GetLastError(), 0);
  QN_CommandLine letter = WithFiles({});
  letter.ParseArguments({"-h"});
  EXPECT_TRUE(letter.HelpRequested());
  EXPECT_EQ(letter.GetLastError(), 0);
  const std::string usage = QN_CommandLine::Usage("pelvane");
  for (const char* text :
       {"Usage: pelvane [OPTIONS] [PACKAGE]\n", "  --file PATH            open the firmware",
        "  --transfer-only        upload and start only", "  -h, --help             show",
        "  --version              show", "[/FPACKAGE] [/PORTNAME]"})
    EXPECT_NE(usage.find(text), std::string::npos) << text;
}

TEST(Arguments, GnuUsageErrorsAreClear) {
  struct Case {
    std::vector<std::string> args;
    const char* text;
  } cases[] = {
      {{"--bogus"}, "Invalid command line switch: unknown option --bogus"},
      {{"--port"}, "Invalid command line switch: --port needs a value"},
      {{"--autostart", "--language"}, "Invalid command line switch: --language needs a value"},
      {{"--autostart=yes"}, "Invalid command line switch: --autostart takes no value"},
      {{"--help=yes"}, "Invalid command line switch: --help takes no value"},
      {{"--advanced", "stray"}, "Invalid command line switch: no such file: stray"},
      {{"fw.qxpkg", "stray", "--advanced"},
       "Invalid command line switch: unexpected argument stray"},
      {{"--advanced", "-x"}, "Invalid command line switch: unknown option -x"},
      {{"--file", "missing.qxpkg"}, "Invalid command line switch: no such file: missing.qxpkg"},
      {{"--AUTOSTART"}, "Invalid command line switch: unknown option --AUTOSTART"},
      {{"--auto"}, "Invalid command line switch: unknown option --auto"},
      // The first of several errors is the one reported.
      {{"--bogus", "--port"}, "Invalid command line switch: unknown option --bogus"},
      {{"--port=COM1", "--autostart=1", "--bogus", "missing.qxpkg"},
       "Invalid command line switch: --autostart takes no value"},
      {{"missing.qxpkg", "--bogus"}, "Invalid command line switch: no such file: missing.qxpkg"},
  };
  for (const auto& k : cases) {
    QN_CommandLine cl = WithFiles({"fw.qxpkg"});
    cl.ParseArguments(k.args);
    EXPECT_EQ(cl.GetLastError(), 14) << k.text;
    EXPECT_EQ(cl.GetLastErrorString(), k.text);
  }
  // A legacy switch after a GNU option is not legacy any more.
  QN_CommandLine mixed = WithFiles({});
  mixed.ParseArguments({"--advanced", "/AUTOSTART"});
  EXPECT_FALSE(mixed.AutoStart());
  EXPECT_EQ(mixed.GetLastError(), 14);
}

TEST(Arguments, PlainArgumentIsThePackage) {
  // As a file manager or a shell passes it; only the files listed exist.
  const std::set<std::string> files{"fw.qxpkg", "/home/u/My Firmware/fw 2.qxpkg",
                                    "/FIRMWARE/fw.qxpkg", "-odd.qxpkg"};
  struct Case {
    std::vector<std::string> args;
    const char* filePath;  // nullptr: no package
    bool autoStart;
    bool legacy;
    const char* error;  // "": none
  } cases[] = {
      {{"fw.qxpkg"}, "fw.qxpkg", false, false, ""},
      {{"/home/u/My Firmware/fw 2.qxpkg"}, "/home/u/My Firmware/fw 2.qxpkg", false, false, ""},
      {{"--autostart", "fw.qxpkg"}, "fw.qxpkg", true, false, ""},
      {{"fw.qxpkg", "--autostart"}, "fw.qxpkg", true, false, ""},
      {{"--autostart", "--", "-odd.qxpkg"}, "-odd.qxpkg", true, false, ""},
      // Looks like the /F switch but names a file.
      {{"/FIRMWARE/fw.qxpkg"}, "/FIRMWARE/fw.qxpkg", false, false, ""},
      // A missing package is named, not taken apart as legacy switches.
      {{"/home/u/gone.qxpkg"},
       "/home/u/gone.qxpkg",
       false,
       false,
       "Invalid command line switch: no such file: /home/u/gone.qxpkg"},
      // The legacy form as before, also as one argument; a switch in the
      // wrong case is still reported as a switch.
      {{"/autostart"}, nullptr, false, true, "Invalid command line switch /autostart"},
      {{"/Ffw.qxpkg"}, "fw.qxpkg", false, true, ""},
      {{"/Ffw.qxpkg /AUTOSTART"}, "fw.qxpkg", true, true, ""},
      {{"notes", "/AUTOSTART"}, nullptr, true, true, ""},
  };
  for (const auto& k : cases) {
    QN_CommandLine cl = WithFiles(files);
    cl.ParseArguments(k.args);
    const std::string name = k.args.front();
    EXPECT_EQ(cl.GetLastError() ? cl.GetLastErrorString() : "", k.error) << name;
    EXPECT_EQ(cl.Filename(), k.filePath != nullptr && *k.error == 0) << name;
    EXPECT_EQ(cl.FilePath(), k.filePath ? k.filePath : "") << name;
    EXPECT_EQ(cl.AutoStart(), k.autoStart) << name;
    EXPECT_EQ(cl.GnuStyle(), !k.legacy) << name;
  }
}

TEST(Arguments, GnuValueMayStartWithDashes) {
  QN_CommandLine cl = WithFiles({});
  cl.ParseArguments({"--language", "--odd--", "--port", "COM3"});
  EXPECT_EQ(cl.FirmwareLanguage(), "--odd--");
  EXPECT_EQ(cl.Port(), "COM3");
  EXPECT_EQ(cl.GetLastError(), 0);
  QN_CommandLine inlineValues = WithFiles({"a=b.qxpkg"});
  inlineValues.ParseArguments({"--file=a=b.qxpkg", "--port=", "--language=-x"});
  EXPECT_EQ(inlineValues.GetLastError(), 0) << inlineValues.GetLastErrorString();
  EXPECT_EQ(inlineValues.FilePath(), "a=b.qxpkg");
  EXPECT_TRUE(inlineValues.PortSet());
  EXPECT_EQ(inlineValues.Port(), "");
  EXPECT_EQ(inlineValues.FirmwareLanguage(), "-x");
}

}  // namespace
}  // namespace pelvane::commandline
