#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "package/package_loader.h"
#include "package_fixture.h"
#include "ports/kind/device_name.h"

namespace pelvane::package {
namespace {

using test::Bytes;
using test::MinimalConfiguration;
using test::PackageTest;
using test::ScriptedPrompt;

// Replaces the line starting with `key=` by `line` (removes it when `line`
// is empty).
std::string With(std::string config, const std::string& key, const std::string& line) {
  std::size_t pos = 0;
  for (; (pos = config.find(key + "=", pos)) != std::string::npos; ++pos) {
    if (pos == 0 || config[pos - 1] == '\n') break;
  }
  if (pos == std::string::npos) return config;
  std::size_t end = config.find('\n', pos);
  if (end == std::string::npos) end = config.size();
  config.replace(pos, end - pos, line);
  return config;
}

class LoaderTest : public PackageTest {
 protected:
  bool Load(const std::string& config, std::vector<PackageMember> extra = {}) {
    return loader.Load(MakePackage(config, std::move(extra)), prompt, c);
  }
  bool LoadWith(const std::string& key, const std::string& line) {
    return Load(With(MinimalConfiguration(), key, line));
  }

  QN_PackageLoader loader;
  ScriptedPrompt prompt;
  PackageConfiguration c;
};

TEST_F(LoaderTest, MinimalPackageLoadsWithDefaults) {
  ASSERT_TRUE(Load(MinimalConfiguration())) << loader.GetLastErrorString();
  EXPECT_EQ(loader.GetLastError(), 0);
  EXPECT_FALSE(c.notLoaded);
  EXPECT_EQ(c.maxProgramBlockLength, 240);
  EXPECT_EQ(c.ports, (std::vector<std::string>{"COM1", "GPIB"}));
  EXPECT_EQ(c.port, "COM1");
  EXPECT_EQ(c.keyText, "");
  EXPECT_EQ(c.baudText, "115200");
  EXPECT_EQ(c.baudRate, 115200);
  EXPECT_EQ(c.processorCode, 0);
  EXPECT_EQ(c.processorFactor, 1);
  EXPECT_EQ(c.architectureCode, 2);
  EXPECT_TRUE(c.continueFlag);
  EXPECT_EQ(c.transferProgram.Filename(), "XFER.BIN");
  EXPECT_EQ(c.transferProgram.Length(), 64);
  EXPECT_EQ(c.transferProgram.EndAddress(), 0x8040);
  EXPECT_EQ(c.transferProgram.ExecAddress(), 0x8004);
  ASSERT_EQ(c.memories.size(), 1u);
  ASSERT_EQ(c.programs.size(), 1u);
  EXPECT_EQ(c.programs[0].Length(), 1000);
  EXPECT_EQ(c.firmwareLanguages, std::vector<std::string>{"NONE"});
  EXPECT_EQ(c.firmwareLanguage, "None");
  // 10 + 10 (transfer) + 10 (memory); programs add 1000 / 240 = 4.17 -> 4.
  EXPECT_EQ(c.eraseMark, 30);
  EXPECT_EQ(c.programBase, 30);
  EXPECT_EQ(c.progressWeight, 34);
  EXPECT_EQ(c.archive->Path(), c.packagePath);
}

// Only a serial port needs a speed: zero and negative rates load, and the
// speed check of validation refuses them for serial ports only.
TEST_F(LoaderTest, ZeroAndNegativeBaudRatesLoad) {
  for (const auto& [line, rate] : {std::pair{"BAUD=0", 0}, std::pair{"BAUD=-9600", -9600}}) {
    ASSERT_TRUE(LoadWith("BAUD", line)) << line << loader.GetLastErrorString();
    EXPECT_EQ(c.baudRate, rate);
  }
}

// COM names are upper-cased; device paths keep their case, or they would
// never open.
TEST_F(LoaderTest, DevicePathsKeepTheirCase) {
  if (!ports::IsDevicePath("/dev/ttyUSB0")) GTEST_SKIP() << "device names here have no case";
  ASSERT_TRUE(Load(With(With(MinimalConfiguration(), "PORTS", "PORTS=com1, /dev/ttyUSB0,gpib"),
                        "UART", "UART=/dev/serial/by-id/usb-FTDI_A1-if00")))
      << loader.GetLastErrorString();
  EXPECT_EQ(c.ports, (std::vector<std::string>{"COM1", "/dev/ttyUSB0", "GPIB"}));
  EXPECT_EQ(c.port, "/dev/serial/by-id/usb-FTDI_A1-if00");
}

TEST_F(LoaderTest, ExamplePackageLoads) {
  ASSERT_TRUE(loader.Load(PELVANE_EXAMPLE_PACKAGE, prompt, c)) << loader.GetLastErrorString();
  EXPECT_EQ(c.archive->Comment(), "Pelvane Example Instrument Firmware 1.0");
  EXPECT_EQ(c.memories.size(), 2u);
  EXPECT_EQ(c.erases.size(), 2u);
  EXPECT_EQ(c.downloads.size(), 1u);
  ASSERT_EQ(c.programs.size(), 2u);
  EXPECT_EQ(c.programs[1].Filename(), "TEXT_EN.BIN");
  EXPECT_FALSE(c.continueFlag);
  EXPECT_EQ(c.firmwareLanguages, (std::vector<std::string>{"ENGLISH", "GERMAN"}));
  EXPECT_TRUE(c.transferProgram.Validate());
  for (const auto& p : c.programs) EXPECT_TRUE(p.Validate()) << p.Filename();
}

TEST_F(LoaderTest, MaxProgLenRules) {
  struct Case {
    const char* line;
    std::int32_t expected;
  } cases[] = {{"MAXPROGLEN=5000", 4000}, {"MAXPROGLEN=12abc", 12}, {"MAXPROGLEN=4000", 4000},
               {"MAXPROGLEN=12.5", 12},   {"MAXPROGLEN=13.5", 14},  {"MAXPROGLEN=1e9", 4000},
               {"MAXPROGLEN=NA", 240},    {"MAXPROGLEN= ; x", 240}, {"MAXPROGLEN=128 ; x", 128}};
  for (const auto& k : cases) {
    std::string config = "[HOST]\n" + std::string(k.line) + "\n" + MinimalConfiguration().substr(7);
    ASSERT_TRUE(Load(config)) << k.line << ": " << loader.GetLastErrorString();
    EXPECT_EQ(c.maxProgramBlockLength, k.expected) << k.line;
    EXPECT_EQ(loader.GetLastError(), 0);
  }
}

TEST_F(LoaderTest, MaxProgLenBelowOneIsRefused) {
  for (const char* line :
       {"MAXPROGLEN=0", "MAXPROGLEN=abc", "MAXPROGLEN=-5", "MAXPROGLEN=0.5", "MAXPROGLEN=-1e300"}) {
    std::string config = "[HOST]\n" + std::string(line) + "\n" + MinimalConfiguration().substr(7);
    EXPECT_FALSE(Load(config)) << line;
    EXPECT_EQ(loader.GetLastError(), 5) << line;
    EXPECT_TRUE(c.notLoaded);
  }
  std::string hex = "[HOST]\nMAXPROGLEN=0x10\n" + MinimalConfiguration().substr(7);
  EXPECT_FALSE(Load(hex));
  EXPECT_EQ(loader.GetLastErrorString(),
            "Configuration File Invalid\n[HOST] MAXPROGLEN=0x10 is not a decimal number");
}

TEST_F(LoaderTest, KeysAreUpperCasedAndCommentsCut) {
  ASSERT_TRUE(LoadWith("UART", "UART=com2 ; default port"));
  EXPECT_EQ(c.port, "COM2");
  ASSERT_TRUE(LoadWith("PORTS", "PORTS= com1 , ,gpib0 ; both"));
  EXPECT_EQ(c.ports, (std::vector<std::string>{"COM1", "GPIB0"}));
  ASSERT_TRUE(LoadWith("PORTS", "PORTS= ; none"));  // empty without an error
  EXPECT_TRUE(c.ports.empty());
}

TEST_F(LoaderTest, KeyTextOfThePort) {
  ASSERT_TRUE(Load(MinimalConfiguration() + "[host]\ncom1=F1 key ; fn\n"));
  EXPECT_EQ(c.keyText, "");  // a repeated section is never read
  std::string config = MinimalConfiguration();
  config.insert(config.find("BAUD"), "Com1=F1 key ; the function key\n");
  ASSERT_TRUE(Load(config));
  EXPECT_EQ(c.keyText, "F1 key");
  EXPECT_EQ(c.serialKeyText, "F1 key");
  // With GPIB preselected, the package's serial port is the first serial one
  // of PORTS: a device it does not list starts with that port's key.
  ASSERT_TRUE(Load(With(With(config, "UART", "UART=GPIB"), "PORTS", "PORTS=GPIB,COM1")));
  EXPECT_EQ(c.keyText, "");
  EXPECT_EQ(c.serialKeyText, "F1 key");
}

TEST_F(LoaderTest, ProcessorAndArchitectureTables) {
  ASSERT_TRUE(LoadWith("PROCESSOR", "PROCESSOR=tms320c30"));
  EXPECT_EQ(c.processorName, "TMS320C30");
  EXPECT_EQ(c.processorCode, 1);
  EXPECT_EQ(c.processorFactor, 4);
  ASSERT_TRUE(LoadWith("PROCESSOR", "PROCESSOR=MCC960"));
  EXPECT_EQ(c.processorCode, 2);
  EXPECT_EQ(c.processorFactor, 1);
  ASSERT_TRUE(LoadWith("ARCHITECTURE", "ARCHITECTURE=b8"));
  EXPECT_EQ(c.architectureCode, 1);
  ASSERT_TRUE(LoadWith("ARCHITECTURE", "ARCHITECTURE=B32"));
  EXPECT_EQ(c.architectureCode, 3);
}

TEST_F(LoaderTest, ContinueFlag) {
  std::string config = MinimalConfiguration();
  config.insert(config.find("BAUD"), "CONTINUE= no ; restart\n");
  ASSERT_TRUE(Load(config));
  EXPECT_FALSE(c.continueFlag);
  config = MinimalConfiguration();
  config.insert(config.find("BAUD"), "CONTINUE=YES\n");
  ASSERT_TRUE(Load(config));
  EXPECT_TRUE(c.continueFlag);
}

TEST_F(LoaderTest, MemorySeriesStopsAtTheFirstGap) {
  std::string config = With(MinimalConfiguration(), "MEMORY",
                            "MEMORY=0x400000,0x80000,AM29F040\n"
                            "MEMORY2=0x500000,0x80000,AM29F040");
  ASSERT_TRUE(Load(config));
  EXPECT_EQ(c.memories.size(), 1u);
  config = With(MinimalConfiguration(), "MEMORY",
                "MEMORY1=0x500000,0x80000,AM29F040");  // no MEMORY: no memory at all
  ASSERT_TRUE(Load(config));
  EXPECT_TRUE(c.memories.empty());
  config = With(MinimalConfiguration(), "MEMORY",
                "MEMORY=0,1,AM29F010\nMEMORY1=NA\nMEMORY2=2,3,AM29F010");
  ASSERT_TRUE(Load(config));
  EXPECT_EQ(c.memories.size(), 1u);  // "NA" counts as missing
}

TEST_F(LoaderTest, ProgressWeightRoundsHalfToEvenAfterEachAddition) {
  // 10 + 10 + 10 = 30; +0.5 -> 30 (even); +1.5 -> 32 (even).
  std::string config = With(MinimalConfiguration(), "MEMORY",
                            "MEMORY=0x400000,0x80000,AM29F040\n"
                            "ERASE=0x400000,2000\n"
                            "ERASE1=0x400000,6000");
  ASSERT_TRUE(Load(config));
  EXPECT_EQ(c.eraseMark, 32);
  config = With(MinimalConfiguration(), "MEMORY",
                "MEMORY=0x400000,0x80000,AM29F040\nERASE=0,6000\nERASE1=0,2000");
  ASSERT_TRUE(Load(config));
  EXPECT_EQ(c.eraseMark, 32);  // 31.5 -> 32, then 32.5 -> 32
  // Downloads: 0x100 / 240 = 1.07 each, rounded each time.
  config = With(MinimalConfiguration(), "PROGRAM",
                "UPLOAD=0,0x100,a.bin\nUPLOAD1=0,0x100,b.bin\nUPLOAD2=0,360,c.bin");
  ASSERT_TRUE(Load(config));
  EXPECT_EQ(c.downloads.size(), 3u);
  // 31.07 -> 31, 32.07 -> 32, 33.5 -> 34
  EXPECT_EQ(c.programBase, 34);
  EXPECT_EQ(c.progressWeight, c.programBase);
  EXPECT_EQ(RoundHalfEven(2.5), 2);
  EXPECT_EQ(RoundHalfEven(3.5), 4);
  EXPECT_EQ(RoundHalfEven(-0.5), 0);
}

TEST_F(LoaderTest, LanguageSectionContinuesTheProgramNumbering) {
  std::string config = MinimalConfiguration() +
                       "[GERMAN]\n"
                       "PROGRAM=0x1000,WRONG.BIN\n"
                       "PROGRAM1=0x480000,TEXT_DE.BIN\n"
                       "PROGRAM2=0x490000,MORE_DE.BIN\n"
                       "[English]\n"
                       "PROGRAM1=0x480000,TEXT_EN.BIN\n";
  config.insert(config.find("BAUD"),
                "FIRMWARE_LANGUAGES=English, German\nFIRMWARE_LANGUAGE=German\n");
  std::vector<PackageMember> members = {
      {"TEXT_DE.BIN", Bytes(480)}, {"MORE_DE.BIN", Bytes(10)}, {"TEXT_EN.BIN", Bytes(240)}};
  ASSERT_TRUE(Load(config, members)) << loader.GetLastErrorString();
  EXPECT_EQ(c.firmwareLanguage, "GERMAN");
  ASSERT_EQ(c.programs.size(), 3u);
  EXPECT_EQ(c.programs[0].Filename(), "BOOT.BIN");
  EXPECT_EQ(c.programs[1].Filename(), "TEXT_DE.BIN");
  EXPECT_EQ(c.programs[2].Filename(), "MORE_DE.BIN");
  // 30 + 1000/240 -> 34, + 2 -> 36, + 0.04 -> 36
  EXPECT_EQ(c.progressWeight, 36);

  ASSERT_TRUE(loader.ReloadPrograms(c, "english"));
  EXPECT_EQ(c.firmwareLanguage, "ENGLISH");
  ASSERT_EQ(c.programs.size(), 2u);
  EXPECT_EQ(c.programs[1].Filename(), "TEXT_EN.BIN");
  EXPECT_EQ(c.progressWeight, 35);
  EXPECT_FALSE(c.notLoaded);

  ASSERT_TRUE(loader.ReloadPrograms(c, "French"));  // no section: [FILES] only
  EXPECT_EQ(c.programs.size(), 1u);
}

TEST_F(LoaderTest, LanguageSectionStartsAtProgramWhenFilesHasNone) {
  std::string config = With(MinimalConfiguration(), "PROGRAM", "") + "[NONE]\nPROGRAM=0,BOOT.BIN\n";
  ASSERT_TRUE(Load(config));
  ASSERT_EQ(c.programs.size(), 1u);
}

TEST_F(LoaderTest, BadReloadLeavesTheConfigurationNotLoaded) {
  std::string config = MinimalConfiguration() + "[BAD]\nPROGRAM1=zz,BOOT.BIN\n";
  ASSERT_TRUE(Load(config));
  EXPECT_FALSE(loader.ReloadPrograms(c, "bad"));
  EXPECT_EQ(loader.GetLastError(), 10);
  EXPECT_EQ(loader.GetLastErrorString(), "Program Entry Invalid\nzz,BOOT.BIN");
  EXPECT_TRUE(c.notLoaded);
  ASSERT_TRUE(loader.ReloadPrograms(c, "None"));
  EXPECT_FALSE(c.notLoaded);

  PackageConfiguration empty;
  EXPECT_FALSE(loader.ReloadPrograms(empty, "x"));
  EXPECT_EQ(loader.GetLastError(), 5);
}

TEST_F(LoaderTest, RequiredKeyMissingGivesCode6WithItsPlace) {
  for (const char* key : {"PORTS", "UART", "BAUD", "PROCESSOR", "ARCHITECTURE", "TRANSFER"}) {
    EXPECT_FALSE(LoadWith(key, "")) << key;
    EXPECT_EQ(loader.GetLastError(), 6) << key;
    std::string section =
        std::string(key) == "PROCESSOR" || std::string(key) == "ARCHITECTURE" ? "TARGET" : "HOST";
    EXPECT_EQ(loader.GetLastErrorString(),
              "Configuration File Key Not Found\n File:" + c.packagePath +
                  " (QXCONFIG.INI)\n Section:\n" + section + " Key:" + key);
    EXPECT_TRUE(c.notLoaded);
  }
  EXPECT_FALSE(LoadWith("UART", "UART=NA"));
  EXPECT_EQ(loader.GetLastError(), 6);
  EXPECT_FALSE(LoadWith("UART", "UART=NA ; not set"));
  EXPECT_EQ(loader.GetLastError(), 6);
  EXPECT_FALSE(LoadWith("UART", "UART="));
  EXPECT_EQ(loader.GetLastError(), 6);
}

TEST_F(LoaderTest, ReadingAKeyNeverClearsAnError) {
  PrivateProfile profile("[S]\nK=value ; note\nN=NA\n");
  loader.SetLastError(9);
  loader.SetLastErrorString(" earlier");
  EXPECT_EQ(loader.ReadKey(profile, "/tmp/x", "S", "K"), "value");
  EXPECT_EQ(loader.GetLastErrorString(), "Upload Entry Invalid earlier");
  EXPECT_EQ(loader.ReadKey(profile, "/tmp/x", "s", "n"), "");
  EXPECT_EQ(loader.GetLastErrorString(),
            "Configuration File Key Not Found\n File:/tmp/x\n Section:\ns Key:n");
}

TEST_F(LoaderTest, EveryLoadErrorHasItsCodeAndText) {
  struct Case {
    const char* key;
    const char* line;
    std::int32_t code;
    const char* text;
  } cases[] = {
      {"PROCESSOR", "PROCESSOR=Z80", 4, "Processor Name Invalid Z80"},
      {"ARCHITECTURE", "ARCHITECTURE=B64", 3, "Architecture Invalid B64"},
      {"BAUD", "BAUD=fast", 5, "Configuration File Invalid\n[HOST] BAUD=FAST is not a baud rate"},
      {"BAUD", "BAUD=0x2580", 5,
       "Configuration File Invalid\n[HOST] BAUD=0X2580 is not a baud rate"},
      {"TRANSFER", "TRANSFER=XFER.BIN,0x8000", 5, "Configuration File Invalid\nXFER.BIN,0x8000"},
      {"TRANSFER", "TRANSFER=NOPE.BIN,0x8000", 5,
       "Configuration File InvalidTransfer Entry invalid File Not Found NOPE.BIN"},
      {"MEMORY", "MEMORY=0x400000,big,AM29F040", 7, "Mermory Entry Inalid\n0x400000,big,AM29F040"},
      {"MEMORY", "MEMORY=0x400000,0x80000,AM29F040\nERASE=0x400000", 8,
       "Erase Entry Invalid\n0x400000"},
      {"PROGRAM", "UPLOAD=0,16", 9, "Upload Entry Invalid\n0,16"},
      // Negative lengths: an erase of 0xFFFFFFFF bytes, an empty read-back.
      {"MEMORY", "MEMORY=0x400000,-1,AM29F040", 7, "Mermory Entry Inalid\n0x400000,-1,AM29F040"},
      {"MEMORY", "MEMORY=0x400000,0x80000,AM29F040\nERASE=0x400000,-1", 8,
       "Erase Entry Invalid\n0x400000,-1"},
      {"PROGRAM", "UPLOAD=0,-5,f.bin", 9, "Upload Entry Invalid\n0,-5,f.bin"},
      {"PROGRAM", "PROGRAM=BOOT.BIN,0x400000", 10, "Program Entry Invalid\nBOOT.BIN,0x400000"},
  };
  for (const auto& k : cases) {
    EXPECT_FALSE(LoadWith(k.key, k.line)) << k.line;
    EXPECT_EQ(loader.GetLastError(), k.code) << k.line;
    EXPECT_EQ(loader.GetLastErrorString(), k.text) << k.line;
    EXPECT_TRUE(c.notLoaded);
  }
}

TEST_F(LoaderTest, TransferWhoseFileIsMissingStillLoads) {
  ASSERT_TRUE(LoadWith("TRANSFER", "TRANSFER=NOPE.BIN,0x8000,0x8000"));
  EXPECT_FALSE(c.transferProgram.Validate());
}

TEST_F(LoaderTest, MissingConfigurationMember) {
  PackageWriter writer;
  writer.AddMember("OTHER.TXT", "x");
  ASSERT_TRUE(writer.Write(Path("noconfig.qxpkg")));
  EXPECT_FALSE(loader.Load(Path("noconfig.qxpkg"), prompt, c));
  EXPECT_EQ(loader.GetLastError(), 1);
  EXPECT_EQ(loader.GetLastErrorString(), "Filename Invalid\nConfiguration file not found");
  EXPECT_TRUE(c.notLoaded);
}

TEST_F(LoaderTest, ConfigurationMemberNameMatchesWithoutCase) {
  PackageWriter writer;
  writer.AddMember("qxconfig.ini", MinimalConfiguration());
  writer.AddMember("xfer.bin", Bytes(4));
  writer.AddMember("boot.bin", Bytes(4));
  ASSERT_TRUE(writer.Write(Path("lower.qxpkg")));
  EXPECT_TRUE(loader.Load(Path("lower.qxpkg"), prompt, c)) << loader.GetLastErrorString();
  EXPECT_TRUE(c.transferProgram.Validate());
}

TEST_F(LoaderTest, BadPackagesGiveClearErrors) {
  WriteFile(Path("text.qxpkg"), "PK but not really a zip");
  EXPECT_FALSE(loader.Load(Path("text.qxpkg"), prompt, c));
  EXPECT_EQ(loader.GetLastError(), 1);
  EXPECT_EQ(loader.GetLastErrorString(), "Filename Invalid\nConfiguration file not found: " +
                                             Path("text.qxpkg") + " is not a ZIP archive");

  EXPECT_FALSE(loader.Load(Path("absent.qxpkg"), prompt, c));
  EXPECT_EQ(loader.GetLastError(), 1);

  std::string truncated = MakePackage(MinimalConfiguration(), {}, "cut.qxpkg");
  std::filesystem::resize_file(truncated, std::filesystem::file_size(truncated) - 30);
  EXPECT_FALSE(loader.Load(truncated, prompt, c));
  EXPECT_EQ(loader.GetLastError(), 1);
}

TEST_F(LoaderTest, BinaryGarbageInTheConfiguration) {
  // A NUL ends the text of its line, as Windows reads it: "PORTS=COM1,GP".
  std::string garbage = MinimalConfiguration();
  garbage[20] = '\0';
  ASSERT_TRUE(Load(garbage)) << loader.GetLastErrorString();
  EXPECT_EQ(c.ports, (std::vector<std::string>{"COM1", "GP"}));

  std::string noise;
  for (int i = 0; i < 3000; ++i) noise += static_cast<char>(1 + (i * 37) % 255);
  EXPECT_FALSE(Load(noise));
  EXPECT_EQ(loader.GetLastError(), 6);  // nothing readable: the first required key is missing
}

TEST_F(LoaderTest, Utf16ConfigurationFromAWindowsEditorLoads) {
  for (bool little : {true, false}) {
    std::string utf16 = little ? "\xFF\xFE" : "\xFE\xFF";
    std::string config = With(MinimalConfiguration(), "UART", "UART=COM1 ; Schnittstelle \xC3\xBC");
    // Only the comment holds a non-ASCII letter (U+00FC).
    for (std::size_t i = 0; i < config.size(); ++i) {
      char16_t unit = static_cast<unsigned char>(config[i]);
      if (config[i] == '\xC3') unit = 0xFC, ++i;
      char lo = static_cast<char>(unit & 0xFF), hi = static_cast<char>(unit >> 8);
      utf16 += little ? std::string{lo, hi} : std::string{hi, lo};
    }
    ASSERT_TRUE(Load(utf16)) << loader.GetLastErrorString();
    EXPECT_EQ(c.port, "COM1");
    EXPECT_EQ(c.programs.size(), 1u);
  }
}

TEST_F(LoaderTest, LongConfigurationAndValuesAreReadWhole) {
  std::string padding;
  for (int i = 0; i < 300; ++i)
    padding += "; padding comment line number " + std::to_string(i) + "\n";
  std::string longName(200, 'L');
  std::string config = MinimalConfiguration();
  config.insert(config.find("[TARGET]"), padding);
  config = With(config, "PROGRAM", "PROGRAM=0x400000," + longName);
  ASSERT_GT(config.size(), 5000u);
  ASSERT_TRUE(Load(config, {{longName, Bytes(10)}})) << loader.GetLastErrorString();
  ASSERT_EQ(c.programs.size(), 1u);
  EXPECT_EQ(c.programs[0].Filename(), longName);
  EXPECT_TRUE(c.programs[0].Validate());
}

TEST_F(LoaderTest, TemporaryCopyHoldsTheConfigurationAndDoesNotLeak) {
  ASSERT_TRUE(Load(MinimalConfiguration()));
  std::string first = c.configurationPath;
  EXPECT_EQ(std::filesystem::path(first).filename().string().substr(0, 3), "~QX");
  {
    // Closed again before the next load: Windows removes no open file.
    std::ifstream in(first);
    std::string copy((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(copy, MinimalConfiguration());
  }
  EXPECT_EQ(TemporaryCopies(), 1u);

  ASSERT_TRUE(Load(MinimalConfiguration()));
  EXPECT_FALSE(std::filesystem::exists(first));
  EXPECT_EQ(TemporaryCopies(), 1u);
  EXPECT_FALSE(LoadWith("UART", ""));
  EXPECT_EQ(TemporaryCopies(), 1u);
  c = PackageConfiguration{};
  EXPECT_EQ(TemporaryCopies(), 0u);
}

TEST_F(LoaderTest, NewLoadReplacesEveryItem) {
  std::string config = With(MinimalConfiguration(), "MEMORY",
                            "MEMORY=0,1,AM29F010\nMEMORY1=2,3,AM29F010\nERASE=0,1");
  ASSERT_TRUE(Load(config));
  EXPECT_EQ(c.memories.size(), 2u);
  ASSERT_TRUE(Load(With(MinimalConfiguration(), "MEMORY", "")));
  EXPECT_TRUE(c.memories.empty());
  EXPECT_TRUE(c.erases.empty());
}

TEST_F(LoaderTest, DownloadsAskThroughTheLoadersPrompt) {
  WriteFile(Path("exists.bin"), "keep");
  ASSERT_TRUE(LoadWith("PROGRAM", "UPLOAD=0,16,exists.bin"));
  ASSERT_EQ(c.downloads.size(), 1u);
  c.downloads[0].OutputFolder(Path(""));
  EXPECT_FALSE(c.downloads[0].Validate());
  EXPECT_EQ(prompt.questions.size(), 1u);
}

}  // namespace
}  // namespace pelvane::package
