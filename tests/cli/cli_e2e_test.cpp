// pelvane-cli against pelvane-sim over a pseudo-terminal: the whole stack,
// the instrument's final flash contents and the files the run leaves.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <numeric>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "package/package_writer.h"
#include "support/sim_package.h"
#include "support/sim_process.h"
#include "upload/scratch_working_directory.h"

namespace pelvane::cli {
namespace {

using testing::ChildProcess;
using testing::FileBytes;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::ReadText;
using testing::ScratchDir;
using testing::SimProcess;

std::vector<std::uint8_t> Bytes(std::size_t n, std::uint8_t seed) {
  return testing::BytePattern(n, seed, 31, 7);
}

// The action lines of a text run, without the progress lines that a log
// gets every tenth of the run.
std::string ActionLines(const std::string& out) {
  static const std::regex progress("(^|\n)Progress [^\n]*");
  return std::regex_replace(out, progress, "");
}

// The folder {port} names for a pseudo-terminal: "/dev/pts/7" is "pts_7".
std::string PortFolder(const std::string& pty) {
  std::string name = pty.substr(std::string("/dev/").size());
  std::replace(name.begin(), name.end(), '/', '_');
  return name;
}

class CliEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    main_ = Bytes(350, 1);    // blocks of 100, 100, 100 and a short one of 50
    textDe_ = Bytes(120, 7);  // 100 and 20
    textEn_ = Bytes(90, 3);
    calibration_ = Bytes(0x150, 9);
    testing::WriteBytes(dir_ / "calibration.in", calibration_);
    WritePackage("CONTINUE=NO");
    // The programs started here keep their temporary files in the test's folder.
    if (const char* tmp = std::getenv("TMPDIR")) previousTmp_ = tmp;
    std::filesystem::create_directories(dir_ / "tmp");
    setenv("TMPDIR", (dir_ / "tmp").c_str(), 1);
    // What identify remembers, and the user's settings, stay in the test's folder.
    for (const char* name : {"XDG_STATE_HOME", "XDG_CONFIG_HOME"})
      if (const char* value = std::getenv(name)) previous_[name] = value;
    setenv("XDG_STATE_HOME", (dir_ / "state").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
  }
  void TearDown() override {
    if (previousTmp_)
      setenv("TMPDIR", previousTmp_->c_str(), 1);
    else
      unsetenv("TMPDIR");
    for (const char* name : {"XDG_STATE_HOME", "XDG_CONFIG_HOME"}) {
      if (previous_.count(name))
        setenv(name, previous_[name].c_str(), 1);
      else
        unsetenv(name);
    }
  }

  // Temporary files a program left behind after it ended.
  std::size_t TemporaryFilesLeft() const {
    const auto files = std::filesystem::directory_iterator(dir_ / "tmp");
    return static_cast<std::size_t>(std::distance(begin(files), end(files)));
  }

  // `target` and `english` add lines to those sections.
  void WritePackage(const std::string& continueLine, const std::string& target = "",
                    const std::string& english = "") {
    const testing::SimPackage package{
        continueLine + "\nFIRMWARE_LANGUAGES=English,German\nFIRMWARE_LANGUAGE=English\n",
        "MEMORY1=0x20000,0x10000,AM29F010\nERASE=0x10000,0x1000\nERASE1=0x20000,0x1000\n" + target +
            "\n",
        "[FILES]\nUPLOAD=0x1F000,0x150,calibration.bin\nPROGRAM=0x10000,MAIN.BIN\n"
        "[ENGLISH]\nPROGRAM1=0x20000,TEXT_EN.BIN\n" +
            english + "\n[GERMAN]\nPROGRAM1=0x20000,TEXT_DE.BIN\n",
        "End-to-end test package",
        {{"MAIN.BIN", main_}, {"TEXT_EN.BIN", textEn_}, {"TEXT_DE.BIN", textDe_}}};
    ASSERT_EQ(package.Write(dir_ / "test.qxpkg"), "");
  }

  // Starts the simulator with the package's memories; returns its terminal.
  // Without the preload the calibration area is erased flash.
  std::string StartSim(const std::vector<std::string>& extra = {}, bool preload = true) {
    sim_.reset();
    sim_ = std::make_unique<SimProcess>(
        PELVANE_SIM,
        testing::SimFiles{dir_ / "test.qxpkg", dir_ / "flash",
                          preload ? "0x1F000," + (dir_ / "calibration.in").string() : ""},
        extra, dir_.path());
    const std::string pty = sim_->Terminal();
    EXPECT_FALSE(pty.empty()) << sim_->Err();
    return pty;
  }

  std::unique_ptr<ChildProcess> StartCli(std::vector<std::string> args) {
    auto cli = std::make_unique<ChildProcess>(PELVANE_CLI, args, dir_.path(), "cli");
    EXPECT_TRUE(cli->Started());
    return cli;
  }

  int RunCli(std::vector<std::string> args) {
    cli_ = StartCli(std::move(args));
    return cli_->Wait();
  }

  std::vector<std::string> Cli(const std::string& port, std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"--package", (dir_ / "test.qxpkg").string(), "--port", port};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  // First, so that it goes last: the programs end before their folder does.
  ScratchDir dir_{"pelvane-cli-e2e",
                  ::testing::UnitTest::GetInstance()->current_test_info()->name()};
  std::optional<std::string> previousTmp_;
  std::map<std::string, std::string> previous_;
  std::vector<std::uint8_t> main_, textDe_, textEn_, calibration_;
  std::unique_ptr<SimProcess> sim_;
  std::unique_ptr<ChildProcess> cli_;
};

TEST_F(CliEndToEnd, FullUploadProgramsTheInstrumentAndRestartsIt) {
  const std::string pty = StartSim({"--once"});
  const int code =
      RunCli(Cli(pty, {"--language", "german", "--report", "run.json", "--trace", "run.trace"}));
  const std::string out = ActionLines(cli_->Out());
  ASSERT_EQ(code, 0) << out << cli_->Err();
  EXPECT_EQ(sim_->Wait(), 0) << sim_->Err();
  // Written into a file, the run says where it is every tenth of the way, and
  // at the end what it moved.
  EXPECT_THAT(cli_->Out(),
              ::testing::ContainsRegex("\nProgress [0-9]+% Read File = calibration.bin, "
                                       "0:00 left\n"));
  EXPECT_THAT(cli_->Out(), HasSubstr("\nProgress 100% Program File = TEXT_DE.BIN\n"));
  EXPECT_THAT(out, ::testing::ContainsRegex(
                       "\nProgrammed 470 bytes in [0-9.]+ s \\([0-9.]+ KiB/s\\), read back 336 "
                       "bytes\n$"));

  EXPECT_THAT(out, HasSubstr("Manufacturer H1, Device H20\nManufacturer H1, Device H20\n"));
  EXPECT_THAT(out, HasSubstr("Read File = calibration.bin\nDownload Flash Memories Completed\n"));
  EXPECT_THAT(out, HasSubstr("FlashDelete Started\nFlashDelete OK\nFlashDelete Started\n"));
  EXPECT_THAT(out, HasSubstr("Checksum( H1 , H10000 , H15E )"));
  EXPECT_THAT(out, HasSubstr("Block Count = 4\nProgram File = TEXT_DE.BIN\n"));
  EXPECT_THAT(out, HasSubstr("Block Count = 2\nProgram Flash Memories Completed\n"
                             "Instrument Restarted\nClose Communication Channel\n"));
  EXPECT_THAT(out, HasSubstr("Your instrument has been restarted please run the calibration "
                             "routines.\n"));

  // The instrument holds the programs, the rest of the erased ranges is blank.
  const auto low = FileBytes(dir_ / "flash" / "AM29F010_10000.bin");
  const auto high = FileBytes(dir_ / "flash" / "AM29F010_20000.bin");
  ASSERT_EQ(low.size(), 0x10000u);
  ASSERT_EQ(high.size(), 0x10000u);
  EXPECT_TRUE(std::equal(main_.begin(), main_.end(), low.begin()));
  EXPECT_TRUE(
      std::all_of(low.begin() + 350, low.begin() + 0x1000, [](auto b) { return b == 0xFF; }));
  EXPECT_TRUE(std::equal(textDe_.begin(), textDe_.end(), high.begin()));
  // The download read the calibration area back before the erase.
  EXPECT_EQ(FileBytes(dir_ / "calibration.bin"), calibration_);

  const auto report = nlohmann::json::parse(ReadText(dir_ / "run.json"));
  EXPECT_EQ(report["comment"], "End-to-end test package");
  EXPECT_EQ(report["firmwareLanguage"], "GERMAN");
  EXPECT_EQ(report["programs"][0]["file"], "MAIN.BIN");
  EXPECT_EQ(report["programs"][0]["blocks"], 4);
  EXPECT_EQ(report["downloads"][0]["file"], "calibration.bin");
  EXPECT_EQ(report["downloads"][0]["bytes"], 336);
  EXPECT_EQ(report["downloads"][0]["sha256"].get<std::string>().size(), 64u);
  EXPECT_EQ(report["outcome"]["ok"], true);
  EXPECT_EQ(report["outcome"]["code"], 0);
  EXPECT_EQ(TemporaryFilesLeft(), 0u);

  // The trace holds every command of the run with the bytes that carried it,
  // the answers and the action lines, each line timed.
  const std::string trace = ReadText(dir_ / "run.trace");
  std::vector<std::string> expected{"frame: sent (7-byte message)\n", " > 07 21 01 15 00 00 01 00 ",
                                    "answer: A1 01 00 ", "action: Instrument Restarted\n",
                                    "outcome: exit 0, code 0, OK\n"};
  for (const char* command : {"QueryManufacturerCode", "ProgPowerOn", "ReadData", "FlashDelete",
                              "Prog", "Checksum", "ProgPowerOff", "ProgEnd"})
    expected.push_back(std::string("command: ") + command + ": ");
  for (const std::string& line : expected) EXPECT_NE(trace.find(line), std::string::npos) << line;
  EXPECT_TRUE(std::regex_search(trace, std::regex("^ +0\\.[0-9]{6} run: pelvane-cli ")));
}

// An adapter plugged in after the command was typed: its device (here a link
// to the simulator's terminal) appears while the runner waits for it.
TEST_F(CliEndToEnd, WaitDeviceStartsOnceTheDeviceAppears) {
  const std::string pty = StartSim();
  const std::filesystem::path late = dir_ / "ttyUSB-late";
  cli_ = StartCli(Cli(late.string(), {"--transfer-only", "--wait-device", "30"}));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(cli_->Running());
  std::filesystem::create_symlink(pty, late);
  EXPECT_EQ(cli_->Wait(), 0) << cli_->Out() << cli_->Err();
}

TEST_F(CliEndToEnd, TransferOnlyStartsTheTransferProgramAndNothingElse) {
  const std::string pty = StartSim();
  ASSERT_EQ(RunCli(Cli(pty, {"--transfer-only", "--json"})), 0) << cli_->Err();
  const std::string out = cli_->Out();
  EXPECT_THAT(out,
              HasSubstr("{\"event\":\"action\",\"text\":\"Transfer Program Read (XFER.BIN)\"}"));
  EXPECT_THAT(out, Not(HasSubstr("Manufacturer")));
  // The result comes last, with what the run moved and how long it took.
  auto result = nlohmann::json::parse(out.substr(out.rfind("{\"event\"")));
  EXPECT_GT(result["durationSeconds"].get<double>(), 0.0);
  result.erase("durationSeconds");
  EXPECT_EQ(result, nlohmann::json::parse(R"({"event": "result", "ok": true, "code": 0,
      "message": "OK", "bytesProgrammed": 0, "bytesReadBack": 0, "bytesVerified": 0,
      "resends": 0})"));
}

TEST_F(CliEndToEnd, LegacySwitchesAreAcceptedAndAPortThatFailsGetsAHint) {
  // COM9 is /dev/ttyS8, which no test machine has.
  WritePackage("CONTINUE=YES");
  // The runner works in dir_, so the package needs no "/" in its name.
  ASSERT_EQ(RunCli({"/Ftest.qxpkg", "/TRANSFERONLY", "/PORTCOM9"}), 2);
  EXPECT_THAT(cli_->Err(), HasSubstr("COM9"));
  ASSERT_EQ(RunCli({"/Ftest.qxpkg", "/TRANSFERONLY", "/PORTGPIB"}), 1);
  EXPECT_THAT(cli_->Err(), HasSubstr("Communications Port failed to initialise"));
  EXPECT_THAT(cli_->Err(), HasSubstr("hint: the GPIB interface could not be opened"));
  // The port's own reason and advice, not a guess: a file, a folder or
  // /dev/null is no serial device, a missing one is named as missing.
  for (const std::string& port :
       {std::string("/dev/null"), (dir_ / "tmp").string(), (dir_ / "test.qxpkg").string()}) {
    EXPECT_EQ(RunCli(Cli(port, {"--transfer-only"})), 1) << port;
    EXPECT_THAT(cli_->Err(), HasSubstr(port + ": ")) << port;
    EXPECT_THAT(cli_->Err(), HasSubstr("hint: name a serial device")) << port;
  }
  EXPECT_EQ(RunCli(Cli("/dev/ttyUSB-pelvane-absent", {"--transfer-only"})), 1);
  EXPECT_THAT(cli_->Err(), HasSubstr("No such file or directory"));
  EXPECT_THAT(cli_->Err(),
              HasSubstr("hint: check the port name and that the adapter is plugged in"));
}

struct FaultRow {
  const char* name;
  std::vector<std::string> simFaults;
  const char* line;     // the report line of the failing step
  const char* message;  // in the error text on stderr
  const char* cause;    // in the outcome of the report
  // Rows whose answer never comes end through the idle time-out; the others
  // keep the default so that a slow machine cannot end them early.
  bool idle = false;
  const char* target = "";  // more [TARGET] lines for the package
  bool verify = false;
};
void PrintTo(const FaultRow& row, std::ostream* os) {
  *os << row.name;
}

class CliFaults : public CliEndToEnd, public ::testing::WithParamInterface<FaultRow> {};

TEST_P(CliFaults, FailedStepEndsTheRunWithItsLine) {
  const FaultRow& row = GetParam();
  if (*row.target != '\0') WritePackage("CONTINUE=NO", row.target);
  const std::string pty = StartSim(row.simFaults);
  std::vector<std::string> extra{"--report", "run.json"};
  if (row.idle) extra.insert(extra.end(), {"--idle-timeout", "2"});
  if (row.verify) extra.push_back("--verify");
  const int code = RunCli(Cli(pty, extra));
  const std::string out = ActionLines(cli_->Out());
  EXPECT_EQ(code, 1) << out << cli_->Err();
  EXPECT_THAT(out, HasSubstr(row.line));
  EXPECT_THAT(cli_->Err(), HasSubstr(row.message));
  // However it failed, the link is closed and shut down.
  EXPECT_THAT(out, HasSubstr("Close Communication Channel\nShutdown Application Layer\n"
                             "Shutdown Complete\n"));
  EXPECT_THAT(out, Not(HasSubstr("Instrument Restarted")));
  const auto report = nlohmann::json::parse(ReadText(dir_ / "run.json"));
  EXPECT_EQ(report["outcome"]["cause"], row.cause);
  if (row.verify) {
    ASSERT_EQ(report["verify"].size(), 1u);
    EXPECT_EQ(report["verify"][0]["address"], "10064");
    EXPECT_EQ(report["verify"][0]["ok"], false);
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, CliFaults,
                         ::testing::Values(FaultRow{"ProgramBlock",
                                                    {"--fail-prog", "3"},
                                                    "Prog ERROR",
                                                    "PROGRAMMING ERROR, failed at address ",
                                                    "instrument_error"},
                                           FaultRow{"Erase",
                                                    {"--fail-erase", "2"},
                                                    "FlashDelete ERROR",
                                                    "FLASH ERASE ERROR, failed at address = ",
                                                    "instrument_error"},
                                           FaultRow{"ChecksumMismatch",
                                                    {"--bad-checksum", "1"},
                                                    "Checksum Error,  Target = H",
                                                    "The Firmware Upload process failed.\n"
                                                    "CHECKSUM ERROR, Target = H",
                                                    "checksum_mismatch"},
                                           FaultRow{
                                               "BootMonitorChecksum",
                                               {"--boot-verdict", "C"},
                                               "Transfer Program Failed, Error Code = 904",
                                               "Error occurred uploading the Transfer Program ",
                                               "boot_monitor_refused"},
                                           FaultRow{"RangeInNoMemory",
                                                    {},
                                                    "FlashErase Configuration Error",
                                                    "FLASH RANGE ERROR H30000 to H30010 lies in "
                                                    "no flash memory",
                                                    "range_outside_memory",
                                                    false,
                                                    "ERASE2=0x30000,0x10"},
                                           // The checksum passes (the block count
                                           // follows its match); the read-back not.
                                           FaultRow{"VerifyCatchesWhatTheChecksumPasses",
                                                    {"--corrupt-stored", "2"},
                                                    "Block Count = 4\nVerify ERROR at H10064\n",
                                                    "VERIFY ERROR at H10064 (MAIN.BIN)",
                                                    "verify_mismatch",
                                                    false,
                                                    "",
                                                    true},
                                           FaultRow{"LongReadAnswer",
                                                    {"--long-read", "1"},
                                                    "Read ERROR",
                                                    "READ DATA ERROR - H65 bytes in the answer "
                                                    "to a read of H64 at H1F000",
                                                    "instrument_error"},
                                           FaultRow{"DroppedResponse",
                                                    {"--corrupt-response", "4"},
                                                    "Read ERROR",
                                                    "the instrument stopped answering",
                                                    "instrument_silent",
                                                    true},
                                           // The far side closed while an answer is
                                           // awaited: told at once, not after the
                                           // instrument's no-response time.
                                           FaultRow{"DeviceGone",
                                                    {"--vanish-after", "3"},
                                                    "Read ERROR",
                                                    "disappeared: check the USB cable",
                                                    "device_lost"},
                                           FaultRow{"SilentInstrument",
                                                    {"--silent-after", "1"},
                                                    "QueryManufacturerCode ERROR\n",
                                                    "hint: the instrument stopped answering",
                                                    "instrument_silent",
                                                    true}),
                         [](const auto& row) { return std::string(row.param.name); });

// The simulator's record of the commands it got, by name ("TPROGDATEN: 6").
std::map<std::string, int> CommandCounts(const std::string& summary) {
  std::map<std::string, int> counts;
  const std::regex line("\n  (T[A-Z]+): ([0-9]+)");
  for (std::sregex_iterator it(summary.begin(), summary.end(), line), end; it != end; ++it)
    counts[(*it)[1]] = std::stoi((*it)[2]);
  return counts;
}

struct LookRow {
  const char* name;
  std::vector<std::string> args;
  int exit;
  const char* out;            // in the runner's standard output
  bool holdsPackage = false;  // the instrument's flash holds the package's programs
};
void PrintTo(const LookRow& row, std::ostream* os) {
  *os << row.name;
}

class CliLooks : public CliEndToEnd, public ::testing::WithParamInterface<LookRow> {};

// Looking at an instrument never erases or programs it (as the simulator's
// record of every command shows) and ends by restarting it.
TEST_P(CliLooks, ReadOnlyOperationSendsNoEraseOrProgramCommand) {
  const LookRow& row = GetParam();
  std::vector<std::string> sim{"--summary", (dir_ / "sim-summary.txt").string()};
  if (row.holdsPackage) {
    testing::WriteBytes(dir_ / "main.in", main_);
    testing::WriteBytes(dir_ / "text.in", textEn_);
    sim.insert(sim.end(), {"--preload", "0x10000," + (dir_ / "main.in").string(), "--preload",
                           "0x20000," + (dir_ / "text.in").string()});
  }
  const std::string pty = StartSim(sim);
  std::vector<std::string> args = row.args;
  args.insert(args.end(), {"--report", "run.json"});
  EXPECT_EQ(RunCli(Cli(pty, args)), row.exit) << cli_->Out() << cli_->Err();
  EXPECT_THAT(cli_->Out(), HasSubstr(row.out));
  sim_->Signal(SIGTERM);
  EXPECT_EQ(sim_->Wait(), 0) << sim_->Err();
  const auto counts = CommandCounts(ReadText(dir_ / "sim-summary.txt"));
  for (const char* changing : {"TFLASHERASE", "TPROGDATEN", "TPROGPWRON", "TPROGPWROFF"})
    EXPECT_EQ(counts.count(changing), 0u) << changing;
  EXPECT_EQ(counts.at("TPROGEND"), 1);
  const auto report = nlohmann::json::parse(ReadText(dir_ / "run.json"));
  EXPECT_EQ(report["operation"], row.args.front().substr(2));
  EXPECT_EQ(report["outcome"]["ok"], row.exit == 0);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CliLooks,
    ::testing::Values(
        LookRow{"Identify",
                {"--identify"},
                0,
                "Memory at H10000: Manufacturer H1, Device H20\n"
                "Memory at H20000: Manufacturer H1, Device H20\nIdentified 2 memories in "},
        LookRow{"Backup", {"--backup"}, 0, "Read back 336 bytes in "},
        LookRow{"Read", {"--read", "0x1F010,0x20,part.bin"}, 0, "Read 32 bytes into part.bin\n"},
        LookRow{"VerifyHolds", {"--verify-only"}, 0, "The instrument holds this package.\n", true},
        LookRow{"VerifyDiffers",
                {"--verify-only"},
                1,
                "The instrument does not hold this package: MAIN.BIN differs at H10000, "
                "TEXT_EN.BIN differs at H20000\n"}),
    [](const auto& row) { return std::string(row.param.name); });

// What the read-only operations leave on the computer: the backup the same
// files as an update's read-back, a range in its own file, and the codes
// identify saw, so that a unit with other ones is named.
TEST_F(CliEndToEnd, BackupReadAndIdentifyKeepWhatTheyFound) {
  const std::string pty = StartSim();
  ASSERT_EQ(RunCli(Cli(pty, {"--backup", "-o", "unit/{port}"})), 0) << cli_->Err();
  const std::filesystem::path unit = dir_ / "unit" / PortFolder(pty);
  EXPECT_EQ(FileBytes(unit / "calibration.bin"), calibration_);
  // No clobbering: the same backup again is refused without --yes.
  EXPECT_EQ(RunCli(Cli(pty, {"--backup", "-o", "unit/{port}"})), 4);
  ASSERT_EQ(RunCli(Cli(pty, {"--read", "0x1F010,0x20," + (dir_ / "range.bin").string()})), 0);
  EXPECT_EQ(FileBytes(dir_ / "range.bin"),
            std::vector<std::uint8_t>(calibration_.begin() + 0x10, calibration_.begin() + 0x30));
  // A range outside the package's memories is refused before anything is sent.
  EXPECT_EQ(RunCli(Cli(pty, {"--read", "0x90000,16,x.bin"})), 4);
  EXPECT_THAT(cli_->Err(), HasSubstr("Read range H90000 to H90010 lies in no flash memory"));

  ASSERT_EQ(RunCli(Cli(pty, {"--identify", "--json"})), 0) << cli_->Err();
  EXPECT_THAT(cli_->Out(), HasSubstr("{\"event\":\"memories\",\"memories\":[{\"startAddress\":"
                                     "\"10000\",\"manufacturer\":\"1\",\"device\":\"20\"},"));
  // Another unit ran the package before and showed another device code.
  const std::filesystem::path history = dir_ / "state" / "pelvane" / "memory-codes.txt";
  std::string seen = ReadText(history);
  ASSERT_NE(seen.find(" 10000 1 20 "), std::string::npos) << seen;
  seen.replace(seen.find(" 10000 1 20 "), 12, " 10000 1 21 ");
  std::ofstream(history, std::ios::trunc) << seen;
  ASSERT_EQ(RunCli(Cli(pty, {"--identify"})), 0) << cli_->Err();
  EXPECT_THAT(cli_->Out(), HasSubstr("Memory at H10000: Manufacturer H1, Device H20 differs from "
                                     "Manufacturer H1, Device H21 seen on " +
                                     pty + " at "));
}

// The dry run checks without opening the port, and its estimate is the time
// the run takes: two packages at two rates against the paced simulator.
// Programs of a few whole blocks at low rates keep the test short and the
// line's time far above what a loaded machine adds to each exchange.
TEST_F(CliEndToEnd, DryRunEstimatesTheRunsTime) {
  for (const std::size_t program : {720, 1440}) {
    for (const int baud : {9600, 4800}) {
      package::PackageWriter writer;
      writer.AddMember(
          "QXCONFIG.INI",
          "[HOST]\nMAXPROGLEN=240\nPORTS=COM1\nUART=COM1\nBAUD=" + std::to_string(baud) +
              "\nCONTINUE=NO\nTRANSFER=XFER.BIN,0x8000,0x8004\n[TARGET]\n"
              "PROCESSOR=I80X86\nARCHITECTURE=B8\nMEMORY=0x10000,0x10000,AM29F010\n"
              "[FILES]\nPROGRAM=0x10000,MAIN.BIN\n");
      writer.AddMember("XFER.BIN", Bytes(64, 5));
      writer.AddMember("MAIN.BIN", Bytes(program, 3));
      ASSERT_TRUE(writer.Write((dir_ / "paced.qxpkg").string())) << writer.Error();
      const std::string summary = (dir_ / "paced-summary.txt").string();
      sim_ = std::make_unique<SimProcess>(
          PELVANE_SIM, testing::SimFiles{dir_ / "paced.qxpkg", dir_ / "flash"},
          std::vector<std::string>{"--baud", std::to_string(baud), "--summary", summary},
          dir_.path());
      const std::string pty = sim_->Terminal();
      ASSERT_FALSE(pty.empty()) << sim_->Err();
      const std::vector<std::string> args{
          "--package", (dir_ / "paced.qxpkg").string(), "--port", pty, "--json", "--yes"};
      auto dry = args;
      dry.push_back("--dry-run");
      ASSERT_EQ(RunCli(dry), 0) << cli_->Out() << cli_->Err();
      const auto plan = nlohmann::json::parse(cli_->Out().substr(0, cli_->Out().find('\n')));
      ASSERT_EQ(plan["event"], "plan");
      const double estimate = plan["seconds"];
      // A loaded machine only ever makes a run slower: the faster of two is
      // the run's own time.
      double measured = 1e9;
      for (int attempt = 0; attempt < 2 && !(measured <= 1.1 * estimate); ++attempt) {
        ASSERT_EQ(RunCli(args), 0) << cli_->Out() << cli_->Err();
        const std::string out = cli_->Out();
        measured = std::min<double>(
            measured,
            nlohmann::json::parse(out.substr(out.rfind("{\"event\"")))["durationSeconds"]);
      }
      EXPECT_GE(measured, 0.9 * estimate) << program << " bytes at " << baud << ": " << measured;
      EXPECT_LE(measured, 1.1 * estimate) << program << " bytes at " << baud << ": " << measured;
      // The dry run sent nothing: the simulator saw only the runs.
      sim_->Signal(SIGTERM);
      sim_->Wait();
      EXPECT_THAT(ReadText(summary), ::testing::ContainsRegex("uploads: [12], T [12]\n"));
    }
  }
}

// Three instruments with one command: one fails half-way, the station says
// so and the others are updated; one record holds each instrument's own.
TEST_F(CliEndToEnd, StationUpdatesEveryInstrumentAndReportsTheFailingOne) {
  std::vector<std::unique_ptr<SimProcess>> sims;
  std::vector<std::string> args{
      "--package",   (dir_ / "test.qxpkg").string(), "--yes", "-o", "bench/{port}", "--report",
      "station.json"};
  std::vector<std::string> ptys;
  for (int i = 0; i < 3; ++i) {
    const std::filesystem::path folder = dir_ / ("sim" + std::to_string(i));
    std::filesystem::create_directories(folder);
    std::vector<std::string> extra{"--once"};
    if (i == 1) extra = {"--fail-prog", "2"};
    sims.push_back(std::make_unique<SimProcess>(
        PELVANE_SIM,
        testing::SimFiles{dir_ / "test.qxpkg", folder / "flash",
                          "0x1F000," + (dir_ / "calibration.in").string()},
        extra, folder));
    ptys.push_back(sims.back()->Terminal());
    ASSERT_FALSE(ptys.back().empty()) << sims.back()->Err();
    args.insert(args.end(), {"--port", ptys.back()});
  }
  EXPECT_EQ(RunCli(args), 1) << cli_->Out() << cli_->Err();
  EXPECT_THAT(cli_->Err(), HasSubstr(ptys[1] + ": PROGRAMMING ERROR, failed at address "));
  EXPECT_THAT(cli_->Err(), HasSubstr("Station: 2 of 3 instruments succeeded, 1 failed\n"));
  for (int i : {0, 2}) {
    EXPECT_EQ(sims[static_cast<std::size_t>(i)]->Wait(), 0);
    const auto low = FileBytes(dir_ / ("sim" + std::to_string(i)) / "flash" / "AM29F010_10000.bin");
    EXPECT_TRUE(std::equal(main_.begin(), main_.end(), low.begin())) << i;
    EXPECT_EQ(FileBytes(dir_ / "bench" / PortFolder(ptys[static_cast<std::size_t>(i)]) /
                        "calibration.bin"),
              calibration_);
  }
  const auto report = nlohmann::json::parse(ReadText(dir_ / "station.json"));
  EXPECT_EQ(report["succeeded"], 2);
  EXPECT_EQ(report["failed"], 1);
  EXPECT_EQ(report["exitCode"], 1);
  EXPECT_EQ(report["packageSha256"].get<std::string>().size(), 64u);
  ASSERT_EQ(report["instruments"].size(), 3u);
  const auto& failing = report["instruments"][1];
  EXPECT_EQ(failing["port"], ptys[1]);
  EXPECT_EQ(failing["cause"], "instrument_error");
  EXPECT_EQ(failing["report"]["outcome"]["exitCode"], 1);
  // Each instrument's own record, without the package named again.
  EXPECT_EQ(report["instruments"][2]["report"]["port"], ptys[2]);
  EXPECT_FALSE(report["instruments"][2]["report"].contains("packageSha256"));
  EXPECT_EQ(TemporaryFilesLeft(), 0u);
}

// Ctrl-C at the station cancels every instrument in order: each runner
// closes its link and keeps its record. As JSON, each instrument's events
// carry its port.
TEST_F(CliEndToEnd, CtrlCCancelsEveryInstrumentOfTheStation) {
  std::vector<std::unique_ptr<SimProcess>> sims;
  std::vector<std::string> args{
      "--package", (dir_ / "test.qxpkg").string(), "--yes", "--report", "station.json", "--json"};
  for (int i = 0; i < 2; ++i) {
    const std::filesystem::path folder = dir_ / ("sim" + std::to_string(i));
    std::filesystem::create_directories(folder);
    sims.push_back(std::make_unique<SimProcess>(
        PELVANE_SIM, testing::SimFiles{dir_ / "test.qxpkg", folder / "flash"},
        std::vector<std::string>{"--silent-after", "5"}, folder));
    args.insert(args.end(), {"--port", sims.back()->Terminal()});
  }
  cli_ = StartCli(args);
  // Both wait for an answer that does not come.
  for (const std::string& port : {args[7], args[9]})
    ASSERT_TRUE(cli_->WaitForOutput("{\"port\":\"" + port +
                                    "\",\"event\":\"action\",\"text\":"
                                    "\"Download Flash Memories Started\"}"))
        << cli_->Out();
  cli_->Signal(SIGINT);
  EXPECT_EQ(cli_->Wait(), 130) << cli_->Out() << cli_->Err();
  const auto report = nlohmann::json::parse(ReadText(dir_ / "station.json"));
  for (const auto& instrument : report["instruments"]) {
    EXPECT_EQ(instrument["cause"], "cancelled");
    EXPECT_EQ(instrument["report"]["actions"].back()["text"].get<std::string>().find(
                  "Firmware Upload Process completed"),
              0u);
  }
}

// A bench names its adapter and folder once: in the environment, or in
// pelvane.conf; the command line still comes first, and --help says where
// each default came from.
TEST_F(CliEndToEnd, PortAndFolderFromTheEnvironmentOrTheSettingsFile) {
  const std::string pty = StartSim();
  std::filesystem::create_directories(dir_ / "config" / "pelvane");
  std::ofstream(dir_ / "config" / "pelvane" / "pelvane.conf")
      << "# bench 3\nport = /dev/ttyUSB-pelvane-absent\noutput-dir = from-file\n";
  setenv("PELVANE_PORT", pty.c_str(), 1);
  const std::vector<std::string> args{"--package", (dir_ / "test.qxpkg").string(), "--backup",
                                      "--yes"};
  const int code = RunCli(args);
  unsetenv("PELVANE_PORT");
  ASSERT_EQ(code, 0) << cli_->Out() << cli_->Err();
  EXPECT_EQ(FileBytes(dir_ / "from-file" / "calibration.bin"), calibration_);
  // Without the variable the file's port is taken, and named when it fails.
  EXPECT_EQ(RunCli(args), 1);
  EXPECT_THAT(cli_->Err(), HasSubstr("/dev/ttyUSB-pelvane-absent"));
  ASSERT_EQ(RunCli({"--help"}), 0);
  EXPECT_THAT(cli_->Out(),
              HasSubstr("--output-dir  from-file (from " +
                        (dir_ / "config" / "pelvane" / "pelvane.conf").string() + " line 3)"));
  std::ofstream(dir_ / "config" / "pelvane" / "pelvane.conf", std::ios::app) << "speed = 9600\n";
  EXPECT_EQ(RunCli(args), 2);
  EXPECT_THAT(cli_->Err(), HasSubstr("pelvane.conf line 4: unknown key \"speed\""));
}

// Ctrl-C, a kill and a closed terminal or ssh session all cancel in order:
// the link is closed and shut down, the report written, nothing left behind.
TEST_F(CliEndToEnd, SignalsCancelAndShutTheLinkDown) {
  for (const int signal : {SIGINT, SIGHUP, SIGTERM}) {
    // The fourth read block gets no answer; only the signal ends the wait.
    const std::string pty = StartSim({"--silent-after", "5"});
    cli_ = StartCli(Cli(pty, {"--report", "run.json"}));
    ASSERT_TRUE(cli_->WaitForOutput("Read File = calibration.bin\n")) << cli_->Out();
    cli_->Signal(signal);
    EXPECT_EQ(cli_->Wait(), 130) << signal << cli_->Out() << cli_->Err();
    EXPECT_THAT(cli_->Out(), HasSubstr("Upload Cancel Received\n"));
    EXPECT_THAT(cli_->Out(), HasSubstr("Shutdown Complete\n"));
    EXPECT_EQ(nlohmann::json::parse(ReadText(dir_ / "run.json"))["outcome"]["cause"], "cancelled");
    EXPECT_EQ(TemporaryFilesLeft(), 0u);
  }
}

// A reader that goes away (`| head`) or a full disk never stops the link
// half-way: the upload goes to its end, the report has it all, and the exit
// status says that output was lost.
TEST_F(CliEndToEnd, OutputThatCannotBeWrittenNeverStopsTheUpload) {
  const std::string pty = StartSim({"--once"});
  const std::string cli = PELVANE_CLI;
  std::string command = "'" + cli + "'";
  for (const std::string& arg : Cli(pty, {"--report", "run.json"})) command += " '" + arg + "'";
  cli_ = std::make_unique<ChildProcess>(
      "/bin/bash",
      std::vector<std::string>{
          "-c", command + " | head -n 3 >/dev/null; echo \"${PIPESTATUS[0]}\" >status; " +
                    command.substr(0, command.find(" '--report'")) +
                    " --summary >/dev/full; echo $? >>status"},
      dir_.path(), "pipe");
  ASSERT_EQ(cli_->Wait(), 0) << cli_->Err();
  EXPECT_EQ(ReadText(dir_ / "status"), "5\n5\n") << cli_->Err();
  EXPECT_EQ(sim_->Wait(), 0) << sim_->Err();
  const auto report = nlohmann::json::parse(ReadText(dir_ / "run.json"));
  EXPECT_EQ(report["outcome"]["ok"], true);
  EXPECT_EQ(report["outcome"]["outputLost"], true);
  EXPECT_TRUE(std::equal(main_.begin(), main_.end(),
                         FileBytes(dir_ / "flash" / "AM29F010_10000.bin").begin()));
  EXPECT_THAT(cli_->Err(), HasSubstr("standard output could not be written"));
  EXPECT_EQ(TemporaryFilesLeft(), 0u);
}

TEST_F(CliEndToEnd, ExistingDownloadFileIsKeptWithoutConsent) {
  const std::string pty = StartSim();
  std::ofstream(dir_ / "calibration.bin") << "keep me";
  EXPECT_EQ(RunCli(Cli(pty)), 4);
  EXPECT_EQ(ReadText(dir_ / "calibration.bin"), "keep me");
  EXPECT_THAT(cli_->Err(), HasSubstr("Configuration failed Validation Checks"));
  EXPECT_THAT(cli_->Err(), HasSubstr("--yes"));
}

TEST_F(CliEndToEnd, ReadBackFileSurvivesFailedRunsAndRetries) {
  // A run that fails at the boot monitor leaves nothing behind, so the retry
  // needs no --yes.
  std::string pty = StartSim({"--boot-verdict", "C", "--boot-fault-upload", "1"});
  EXPECT_EQ(RunCli(Cli(pty)), 1) << cli_->Out();
  EXPECT_TRUE(std::filesystem::is_empty(dir_ / "tmp"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "calibration.bin"));
  ASSERT_EQ(RunCli(Cli(pty)), 0) << cli_->Out() << cli_->Err();
  EXPECT_EQ(FileBytes(dir_ / "calibration.bin"), calibration_);

  // A read that fails half-way (the link goes after the second of four
  // reads) leaves the backup as it was, even with --yes.
  testing::WriteBytes(dir_ / "calibration.in", Bytes(0x150, 77));
  pty = StartSim({"--vanish-after", "4"});
  EXPECT_EQ(RunCli(Cli(pty, {"--yes", "--idle-timeout", "2"})), 1) << cli_->Out();
  EXPECT_THAT(cli_->Out(), HasSubstr("Read ERROR"));
  EXPECT_EQ(FileBytes(dir_ / "calibration.bin"), calibration_);

  // A retry after a run that erased the range reads 0xFF: the backup stays,
  // the erased read goes beside it.
  pty = StartSim({}, /*preload=*/false);
  ASSERT_EQ(RunCli(Cli(pty, {"--yes"})), 0) << cli_->Out() << cli_->Err();
  EXPECT_EQ(FileBytes(dir_ / "calibration.bin"), calibration_);
  EXPECT_EQ(FileBytes(dir_ / "calibration.bin.erased"), std::vector<std::uint8_t>(0x150, 0xFF));
  EXPECT_THAT(cli_->Out(), HasSubstr("read only erased bytes (FF): the existing file is kept"));
}

TEST_F(CliEndToEnd, ProgramEntryRestoresTheCalibrationItReadBack) {
  WritePackage("CONTINUE=NO", "ERASE2=0x1F000,0x1000", "PROGRAM2=0x1F000,calibration.bin");
  const std::string pty = StartSim({"--once"});
  ASSERT_EQ(RunCli(Cli(pty)), 0) << cli_->Out() << cli_->Err();
  EXPECT_EQ(sim_->Wait(), 0) << sim_->Err();
  EXPECT_THAT(cli_->Out(), HasSubstr("Program File = calibration.bin\n"));
  // Read, erased, written back: the sector holds what it held before.
  const auto low = FileBytes(dir_ / "flash" / "AM29F010_10000.bin");
  ASSERT_EQ(low.size(), 0x10000u);
  EXPECT_TRUE(std::equal(calibration_.begin(), calibration_.end(), low.begin() + 0xF000));
  EXPECT_TRUE(std::all_of(low.begin() + 0xF150, low.end(), [](auto b) { return b == 0xFF; }));
  EXPECT_EQ(FileBytes(dir_ / "calibration.bin"), calibration_);
}

TEST_F(CliEndToEnd, DamagedMemberIsRefusedBeforeAnythingIsErased) {
  // The central directory's CRC of MAIN.BIN no longer fits its data.
  auto zip = FileBytes(dir_ / "test.qxpkg");
  const std::string name = "MAIN.BIN";
  bool flipped = false;
  for (std::size_t i = 0; i + 46 + name.size() <= zip.size() && !flipped; ++i) {
    if (zip[i] == 'P' && zip[i + 1] == 'K' && zip[i + 2] == 1 && zip[i + 3] == 2 &&
        std::equal(name.begin(), name.end(), zip.begin() + static_cast<long>(i) + 46)) {
      zip[i + 16] ^= 0x01;
      flipped = true;
    }
  }
  ASSERT_TRUE(flipped);
  testing::WriteBytes(dir_ / "test.qxpkg", zip);
  const std::string pty = StartSim();
  EXPECT_EQ(RunCli(Cli(pty)), 1) << cli_->Out();
  EXPECT_THAT(cli_->Err(), HasSubstr("MAIN.BIN"));
  EXPECT_THAT(cli_->Err(), HasSubstr("CRC"));
  EXPECT_THAT(cli_->Out(), HasSubstr("Package Member ERROR MAIN.BIN"));
  EXPECT_THAT(cli_->Out(), Not(HasSubstr("Transfer Program Read")));
  EXPECT_THAT(cli_->Out(), Not(HasSubstr("FlashDelete")));
}

TEST_F(CliEndToEnd, UsageAndPackageErrorsHaveTheirOwnExitCodes) {
  EXPECT_EQ(RunCli(Cli("/dev/null", {"--language", "French"})), 2);
  EXPECT_THAT(cli_->Err(), HasSubstr("ENGLISH, GERMAN"));
  EXPECT_EQ(RunCli(Cli("COM9")), 2);
  EXPECT_EQ(RunCli({"--package", (dir_ / "missing.qxpkg").string()}), 3);
  EXPECT_EQ(RunCli({"--port", "COM1"}), 2);
  std::ofstream(dir_ / "notes.qxpkg") << "not a zip";
  EXPECT_EQ(RunCli({"--package", (dir_ / "notes.qxpkg").string()}), 3);
  EXPECT_EQ(RunCli({"--package", (dir_ / "test.qxpkg").string(), "--summary"}), 0);
  EXPECT_THAT(cli_->Out(), HasSubstr("Program=TEXT_EN.BIN  20000~2005A:5A\n"));
}

}  // namespace
}  // namespace pelvane::cli
