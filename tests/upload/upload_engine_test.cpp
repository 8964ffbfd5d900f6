// The controller's run against a fake application object: the order of
// commands, the report lines, the failure rows and the progress arithmetic.
#include "upload/upload_engine.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <numeric>
#include <set>
#include <thread>

#include "core/message_loop.h"
#include "core/sha256.h"
#include "fakes/fake_app.h"
#include "package/package_archive.h"
#include "package/qn_error.h"
#include "session/session_codes.h"
#include "support/test_files.h"
#include "upload/report_text.h"
#include "upload/scratch_working_directory.h"

namespace pelvane::upload {
namespace {

using test::Answer;
using test::FakeInstrument;
using testing::ElementsAre;
using testing::HasSubstr;

class FakePackage final : public UploadPackage {
 public:
  bool ValidateItems(std::string* message) override {
    if (!itemsValid) *message += "\r\nTransfer Entry invalid File Not Found tp.bin";
    return itemsValid;
  }
  UploadPlan Plan() override { return plan; }
  std::int64_t MemberSize(const std::string& name) override {
    if (const auto claim = claimed.find(name); claim != claimed.end()) return claim->second;
    const auto it = members.find(name);
    return it == members.end() ? 0 : static_cast<std::int64_t>(it->second.size());
  }
  void DisplayConfiguration() override { ++summaries; }
  bool ReadMember(const std::string& name, std::vector<std::uint8_t>* bytes,
                  std::string* error) override {
    ++reads[name];
    if (name == damaged) *error = "CRC error in " + name;
    auto it = members.find(name);
    if (it == members.end() || name == damaged) return false;
    *bytes = it->second;
    return true;
  }

  UploadPlan plan;
  std::map<std::string, std::vector<std::uint8_t>> members;
  bool itemsValid = true;
  int summaries = 0;
  std::string damaged;                          // a member that fails its CRC
  std::map<std::string, std::int64_t> claimed;  // sizes the archive claims instead
  std::map<std::string, int> reads;
};

class Recorder final : public QN_UploadProcessEvents {
 public:
  void ProgressUpdate(std::string& text, std::int16_t& percent) override {
    progress.push_back(text + " " + std::to_string(percent));
  }
  void ActionUpdate(std::string& text) override { actions.push_back(text); }
  void MemoryIdentified(const MemoryCodes& codes) override { memories.push_back(codes); }
  void OverallProgress(const RunProgress& p) override { overall.push_back(p); }
  void ProgramVerified(const ProgramChecksum& record) override { programs.push_back(record); }
  void BootMonitorWait(std::chrono::milliseconds limit) override { bootWaits.push_back(limit); }
  void CommandResent(const Resend& resend) override {
    resends.push_back(resend.command + ": " + resend.reason);
  }
  std::vector<std::string> actions, progress, resends;
  std::vector<std::chrono::milliseconds> bootWaits;
  std::vector<MemoryCodes> memories;
  std::vector<ProgramChecksum> programs;
  std::vector<RunProgress> overall;
};

std::vector<std::uint8_t> Bytes(std::size_t n, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
  return bytes;
}

class UploadEngineTest : public testing::Test {
 protected:
  UploadEngineTest() : registry(test::FakeRegistry(instrument)), engine(registry) {
    engine.Advise(&recorder, &cookie);
    engine.SetPort("COM1");
    engine.SetTick(std::chrono::milliseconds(1));
    UploadPlan& plan = package.plan;
    plan.maxProgLen = 240;
    plan.architecture = 1;
    plan.baudRate = 115200;
    plan.transfer = {"tp.bin", 0x1000, 0x1004};
    package.members["tp.bin"] = {0xAA, 0xBB};
  }

  // Two memories, one erase range, one download, two programs.
  void FullPlan() {
    UploadPlan& plan = package.plan;
    plan.memories = {{22, 0x400000, 0x480000}, {21, 0x480000, 0x4A0000}};
    plan.erases = {{0x400000, 0x1000, 0x401000}};
    plan.downloads = {{(dir / "cal.bin").string(), 0x490000, 300}};
    plan.programs = {{"main.bin", 0x400000, 0x400000 + 500},
                     {"lang.bin", 0x480000, 0x480000 + 240}};
    plan.continueFlag = false;
    package.members["main.bin"] = Bytes(500, 3);
    package.members["lang.bin"] = Bytes(240, 9);
    for (std::uint32_t i = 0; i < 300; ++i)
      instrument.flash[0x490000 + i] = static_cast<std::uint8_t>(i * 13);
  }

  std::vector<std::string> CallsStartingWith(const std::string& prefix) const {
    std::vector<std::string> result;
    for (const auto& call : instrument.calls)
      if (call.rfind(prefix, 0) == 0) result.push_back(call);
    return result;
  }

  FakeInstrument instrument;
  core::ClassRegistry<app::IQX_App> registry;
  UploadEngine engine;
  FakePackage package;
  Recorder recorder;
  core::Cookie cookie = 0;
  pelvane::test::ScratchDir dir{"pelvane-upload",
                                testing::UnitTest::GetInstance()->current_test_info()->name()};
};

// The runner counts the wait for the boot monitor down: the verdict wait,
// after the transfer program's time on a serial line (11 bits a byte).
TEST_F(UploadEngineTest, BootMonitorWaitIncludesTheTransferProgramsTimeOnTheLine) {
  package.plan.baudRate = 9600;
  package.members["tp.bin"] = Bytes(12000, 1);
  engine.SetTransferOnly(true);
  ASSERT_TRUE(engine.Upload(package));
  // The GPIB bus has no line rate to wait for.
  engine.SetPort("GPIB");
  ASSERT_TRUE(engine.Upload(package));
  using std::chrono::milliseconds;
  EXPECT_THAT(recorder.bootWaits, ElementsAre(milliseconds(23750), milliseconds(10000)));
}

TEST_F(UploadEngineTest, FullSequenceReportsEveryStepInOrder) {
  FullPlan();
  ASSERT_TRUE(engine.Upload(package)) << engine.GetLastErrorString();
  EXPECT_EQ(engine.GetLastError(), package::kErrOk);
  EXPECT_EQ(engine.GetLastErrorString(), "OK");
  EXPECT_EQ(engine.Cause(), FailureCause::None);
  EXPECT_EQ(instrument.openString, "clsid:519498DF-CB5C-11D4-A40B-0050DAE004CA COM1:115200,E,8,1");
  EXPECT_EQ(instrument.transferBytes, (std::vector<std::uint8_t>{0xAA, 0xBB}));
  EXPECT_EQ(instrument.transferLoad, 0x1000);
  EXPECT_EQ(instrument.transferExec, 0x1004);

  const std::uint32_t mainSum =
      std::accumulate(package.members["main.bin"].begin(), package.members["main.bin"].end(), 0u);
  const std::uint32_t langSum =
      std::accumulate(package.members["lang.bin"].begin(), package.members["lang.bin"].end(), 0u);
  std::vector<std::string> expected = {
      "UPLOAD FIRMWARE STARTED",
      "Transfer Program Read (tp.bin)",
      "Transfer Program Running",
      "Manufacturer H1, Device HA4",
      "Manufacturer H1, Device HA4",
      "Download Flash Memories Started",
      "Read File = " + (dir / "cal.bin").string(),
      "Download Flash Memories Completed",
      "Erase Flash Memories Started",
      "Programming Voltage On",
      "FlashDelete Started",
      "FlashDelete OK",
      "Programming Voltage Off",
      "Erase Flash Memories Completed",
      "Program Flash Memories Started",
      "Program File = main.bin",
      "Programming Voltage On",
      "Programming Voltage Off",
      "Checksum( H1 , H400000 , H1F4 )",
      "Checksum, Target = H" + HexText(mainSum & 0xFF),
      "Checksum Matches, Host = H" + HexText(mainSum & 0xFF),
      "Block Count = 3",
      "Program File = lang.bin",
      "Programming Voltage On",
      "Programming Voltage Off",
      "Checksum( H1 , H480000 , HF0 )",
      "Checksum, Target = H" + HexText(langSum & 0xFF),
      "Checksum Matches, Host = H" + HexText(langSum & 0xFF),
      "Block Count = 1",
      "Program Flash Memories Completed",
      "Instrument Restarted",
      "Close Communication Channel",
      "Shutdown Application Layer",
      "Shutdown Complete",
      "Firmware Upload Process completed in 0 Minutes 0 Seconds",
  };
  EXPECT_EQ(recorder.actions, expected);
  EXPECT_EQ(package.summaries, 1);  // outside the wizard the summary precedes the run

  // 500 bytes go as 240, 240 and 20 at increasing byte addresses.
  EXPECT_THAT(CallsStartingWith("Prog "),
              ElementsAre("Prog 400000 240 1 22", "Prog 4000F0 240 1 22", "Prog 4001E0 20 1 22",
                          "Prog 480000 240 1 21"));
  EXPECT_THAT(CallsStartingWith("Query"), ElementsAre("Query 400000 1 22", "Query 480000 1 21"));
  EXPECT_THAT(CallsStartingWith("Erase"), ElementsAre("Erase 1 22 400000 1000"));
  EXPECT_THAT(CallsStartingWith("ProgEnd"), ElementsAre("ProgEnd"));
  for (std::uint32_t i = 0; i < 500; ++i)
    ASSERT_EQ(instrument.ByteAt(0x400000 + i), package.members["main.bin"][i]) << i;
  EXPECT_EQ(instrument.closeCount, 1);
  EXPECT_EQ(instrument.shutdownCount, 1);
  EXPECT_FALSE(instrument.advised);

  std::ifstream file(dir / "cal.bin", std::ios::binary);
  std::vector<char> data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  ASSERT_EQ(data.size(), 300u);
  for (std::uint32_t i = 0; i < 300; ++i)
    ASSERT_EQ(static_cast<std::uint8_t>(data[i]), static_cast<std::uint8_t>(i * 13));

  ASSERT_EQ(recorder.memories.size(), 2u);
  EXPECT_EQ(recorder.memories[1].startAddress, 0x480000);
  ASSERT_EQ(recorder.programs.size(), 2u);
  EXPECT_EQ(recorder.programs[0].blockCount, 3);
  EXPECT_EQ(recorder.programs[0].host, mainSum & 0xFF);
}

TEST_F(UploadEngineTest, StepPercentagesStartAtZeroAndEndAt99) {
  FullPlan();
  ASSERT_TRUE(engine.Upload(package));
  std::vector<std::string> main;
  for (const auto& p : recorder.progress)
    if (p.rfind("Program File = main.bin", 0) == 0) main.push_back(p);
  // 240/500 -> 47, 480/500 -> 95, 500/500 -> 99.
  EXPECT_THAT(main, ElementsAre("Program File = main.bin 0", "Program File = main.bin 47",
                                "Program File = main.bin 95", "Program File = main.bin 99"));
  EXPECT_EQ(recorder.progress.front(), "Upload Firmware 0");
}

TEST_F(UploadEngineTest, ShortReadAnswersContinueBehindTheDeliveredBytes) {
  FullPlan();
  package.plan.programs.clear();
  instrument.readCap = 100;
  ASSERT_TRUE(engine.Upload(package));
  EXPECT_THAT(CallsStartingWith("ReadData"),
              ElementsAre("ReadData 490000 240", "ReadData 490064 200", "ReadData 4900C8 100"));
  EXPECT_EQ(std::filesystem::file_size(dir / "cal.bin"), 300u);
}

// Another read's data must never go into the file: an answer longer than
// asked or naming another address fails the step and nothing is written.
TEST_F(UploadEngineTest, ReadAnswerThatDoesNotMatchItsRequestFailsTheDownload) {
  FullPlan();
  const struct {
    std::uint32_t extra, shift;
    const char* detail;
  } rows[] = {{1, 0, " - HF1 bytes in the answer to a read of HF0 at H490000"},
              {0, 0x10, " - the answer to a read at H490000 names H490010"}};
  for (const auto& row : rows) {
    instrument.readExtra = row.extra;
    instrument.readShift = row.shift;
    EXPECT_FALSE(engine.Upload(package));
    EXPECT_EQ(engine.GetLastError(), package::kErrReadData);
    EXPECT_EQ(engine.Cause(), FailureCause::InstrumentError);
    EXPECT_EQ(engine.GetLastErrorString(), "READ DATA ERROR" + std::string(row.detail));
    EXPECT_FALSE(std::filesystem::exists(dir / "cal.bin"));
    EXPECT_THAT(CallsStartingWith("Erase"), testing::IsEmpty());
  }
}

TEST_F(UploadEngineTest, EmptyReadAnswerFailsTheDownloadInsteadOfAskingAgain) {
  FullPlan();
  package.plan.programs.clear();
  instrument.readCap = 0;
  // Without a verdict on empty answers the same read would go out for ever;
  // cancelling after a few keeps such a fault from hanging the test.
  int reads = 0;
  instrument.onCommand = [&](const std::string& call) {
    if (call.rfind("ReadData", 0) == 0 && ++reads == 5) engine.Cancel();
  };
  EXPECT_FALSE(engine.Upload(package));
  EXPECT_THAT(CallsStartingWith("ReadData"), ElementsAre("ReadData 490000 240"));
  EXPECT_EQ(engine.GetLastError(), package::kErrReadData);
  EXPECT_EQ(engine.Cause(), FailureCause::InstrumentError);
  EXPECT_EQ(engine.GetLastErrorString(), "READ DATA ERROR - no data at address H490000");
  EXPECT_THAT(recorder.actions, testing::Contains("Read ERROR"));
  EXPECT_THAT(recorder.actions,
              testing::Not(testing::Contains("Download Flash Memories Completed")));
  EXPECT_EQ(instrument.shutdownCount, 1);
}

TEST_F(UploadEngineTest, TransferOnlySendsNoFlashCommand) {
  FullPlan();
  engine.SetTransferOnly(true);
  EXPECT_TRUE(engine.Upload(package));
  EXPECT_TRUE(instrument.calls.empty());
  EXPECT_THAT(
      recorder.actions,
      ElementsAre("UPLOAD FIRMWARE STARTED", "Transfer Program Read (tp.bin)",
                  "Close Communication Channel", "Shutdown Application Layer", "Shutdown Complete",
                  "Firmware Upload Process completed in 0 Minutes 0 Seconds"));
}

TEST_F(UploadEngineTest, FailedValidationCreatesNoApplicationObject) {
  package.itemsValid = false;
  package.plan.baudRate = 56000;
  EXPECT_FALSE(engine.Upload(package));
  EXPECT_EQ(engine.GetLastError(), package::kErrValidation);
  EXPECT_EQ(engine.Cause(), FailureCause::ValidationFailed);
  EXPECT_EQ(engine.GetLastErrorString(),
            "Configuration failed Validation Checks\r\nInvalid Communication Speed"
            "\r\nTransfer Entry invalid File Not Found tp.bin");
  EXPECT_EQ(instrument.created, 0);
  EXPECT_THAT(recorder.actions,
              ElementsAre("Firmware Upload Process completed in 0 Minutes 0 Seconds"));
}

// GPIB has no baud rate, and the default line runs at 115200 whatever the
// package says; a named serial port runs at the package's rate.
TEST_F(UploadEngineTest, SpeedCheckAppliesToNamedSerialPortsOnly) {
  package.plan.baudRate = 0;
  engine.SetTransferOnly(true);
  engine.SetPort("GPIB");
  EXPECT_TRUE(engine.Upload(package));
  EXPECT_EQ(instrument.openString, "clsid:B35BC69F-C22C-11D4-A408-0050DAE004CA GPIB0");
  engine.SetPort("LPT1");
  EXPECT_TRUE(engine.Upload(package));
  EXPECT_EQ(instrument.openString, "clsid:519498DF-CB5C-11D4-A40B-0050DAE004CA COM1:115200,E,8,1");
  engine.SetPort("COM2");
  EXPECT_FALSE(engine.Upload(package));
  EXPECT_EQ(engine.GetLastError(), package::kErrValidation);
}

TEST_F(UploadEngineTest, PortThatFailsToOpenIsNotClosed) {
  instrument.initLastError = 2;
  EXPECT_FALSE(engine.Upload(package));
  EXPECT_EQ(engine.GetLastErrorString(),
            "Error occurred in communications layer, Code = Communications Port failed to "
            "initialise");
  EXPECT_EQ(engine.Cause(), FailureCause::PortUnavailable);
  EXPECT_EQ(instrument.closeCount, 0);
  EXPECT_EQ(instrument.shutdownCount, 0);
  EXPECT_FALSE(instrument.advised);
}

TEST_F(UploadEngineTest, TransferVerdictFailsTheRun) {
  instrument.verdict = app::PT_TCHECKSUMERR;
  instrument.uploadLastError = 0;
  EXPECT_FALSE(engine.Upload(package));
  EXPECT_THAT(recorder.actions, testing::Contains("Transfer Program Failed, Error Code = 904"));
  EXPECT_EQ(engine.GetLastError(), package::kErrTransferProgram);
  EXPECT_EQ(engine.Cause(), FailureCause::BootMonitorRefused);
  EXPECT_EQ(instrument.closeCount, 1);
  // No verdict at all is a silent boot monitor, not a garbled program.
  instrument.verdict = app::PT_TNORESPONSE;
  EXPECT_FALSE(engine.Upload(package));
  EXPECT_EQ(engine.Cause(), FailureCause::BootMonitorSilent);
}

TEST_F(UploadEngineTest, PortFailureDuringTransferIsNoSuccess) {
  // The verdict stays PT_TOK when the port failed; only the last error tells.
  instrument.uploadLastError = 2;
  engine.SetTransferOnly(true);
  EXPECT_FALSE(engine.Upload(package));
  EXPECT_EQ(engine.GetLastErrorString(),
            "Error occurred uploading the Transfer Program An Error occured in the session layer");
  EXPECT_EQ(engine.Cause(), FailureCause::BootMonitorSilent);
}

// Every member the run sends is read whole before the link opens: one
// damaged member found while programming would leave the instrument erased.
TEST_F(UploadEngineTest, DamagedMemberFailsTheRunBeforeAnythingIsSent) {
  FullPlan();
  const struct {
    const char* member;
    std::int32_t code;
    const char* detail;
  } rows[] = {{"tp.bin", package::kErrTransferProgram, " - CRC error in tp.bin"},
              {"lang.bin", package::kErrProgramEntryInvalid, " - CRC error in lang.bin"}};
  for (const auto& row : rows) {
    package.damaged = row.member;
    EXPECT_FALSE(engine.Upload(package));
    EXPECT_EQ(engine.GetLastError(), row.code);
    EXPECT_EQ(engine.GetLastErrorString(), package::ErrorResourceText(row.code) + row.detail);
    EXPECT_EQ(engine.Cause(), FailureCause::PackageInvalid);
    EXPECT_THAT(recorder.actions,
                testing::Contains("Package Member ERROR " + std::string(row.member)));
    EXPECT_EQ(instrument.created, 0);
  }
  package.damaged.clear();
  package.members.erase("tp.bin");
  EXPECT_FALSE(engine.Upload(package));
  EXPECT_EQ(engine.GetLastErrorString(),
            "Error occurred uploading the Transfer Program  - the package member tp.bin cannot be "
            "read");
  EXPECT_TRUE(instrument.transferBytes.empty());
}

// However many entries name a member, a run reads and holds it once; members
// that together hold more than a run may keep are refused before any is read.
TEST_F(UploadEngineTest, EachMemberIsHeldOnceAndAllWithinTheBound) {
  FullPlan();
  package.plan.programs = {{"main.bin", 0x400000, 0x400000 + 500},
                           {"MAIN.BIN", 0x401000, 0x401000 + 500},
                           {"main.bin", 0x402000, 0x402000 + 500}};
  ASSERT_TRUE(engine.Upload(package)) << engine.GetLastErrorString();
  EXPECT_EQ(package.reads, (std::map<std::string, int>{{"main.bin", 1}, {"tp.bin", 1}}));
  EXPECT_EQ(CallsStartingWith("Checksum").size(), 3u);

  package.reads.clear();
  package.claimed["main.bin"] = package::kMaxRunMemberBytes;
  EXPECT_FALSE(engine.Upload(package));
  EXPECT_EQ(engine.Cause(), FailureCause::PackageInvalid);
  EXPECT_THAT(engine.GetLastErrorString(), HasSubstr("more than the 134217728 one run may hold"));
  EXPECT_TRUE(package.reads.empty());
  EXPECT_EQ(instrument.created, 1);  // the first run's only
}

// A program entry naming a file that a download of the same run reads back
// writes that read-back back: calibration restored after its sector's erase.
TEST_F(UploadEngineTest, ProgramEntryWritesBackWhatTheRunReadBack) {
  FullPlan();
  package.plan.erases = {{0x490000, 0x1000, 0x491000}};
  package.plan.programs = {{"CAL.BIN", 0x490000, 0x490000 + 300, 0}};
  const auto before = instrument.flash;
  ASSERT_TRUE(engine.Upload(package)) << engine.GetLastErrorString();
  EXPECT_THAT(CallsStartingWith("Erase"), ElementsAre("Erase 1 21 490000 1000"));
  EXPECT_EQ(instrument.flash, before);
  ASSERT_EQ(recorder.programs.size(), 1u);
  EXPECT_EQ(recorder.programs[0].blockCount, 2);
  // A retry after a run that erased the range and failed writes back the
  // backup it kept, not the erased flash it read.
  for (std::uint32_t i = 0; i < 300; ++i) instrument.flash.erase(0x490000 + i);
  ASSERT_TRUE(engine.Upload(package)) << engine.GetLastErrorString();
  EXPECT_EQ(instrument.flash, before);
  EXPECT_TRUE(std::filesystem::exists(dir / "cal.bin.erased"));
}

// The instrument programmed with the plan's files, as an update leaves it.
void HoldPackage(FakeInstrument& instrument, FakePackage& package) {
  for (const PlanProgram& program : package.plan.programs) {
    const auto& bytes = package.members[program.filename];
    for (std::size_t i = 0; i < bytes.size(); ++i)
      instrument.flash[static_cast<std::uint32_t>(program.loadAddress) + i] = bytes[i];
  }
}

// Looking at an instrument changes nothing in it: no voltage, no erase, no
// program block; each operation ends by restarting it.
TEST_F(UploadEngineTest, ReadOnlyOperationsNeverEraseOrProgram) {
  FullPlan();
  HoldPackage(instrument, package);
  for (const RunOperation op :
       {RunOperation::Identify, RunOperation::Backup, RunOperation::VerifyOnly}) {
    instrument.calls.clear();
    engine.SetOperation(op);
    ASSERT_TRUE(engine.Upload(package)) << OperationName(op) << engine.GetLastErrorString();
    for (const char* changing : {"PowerOn", "Erase", "Prog ", "PowerOff"})
      EXPECT_THAT(CallsStartingWith(changing), testing::IsEmpty()) << OperationName(op);
    EXPECT_EQ(instrument.calls.back(), "ProgEnd") << OperationName(op);
    EXPECT_EQ(CallsStartingWith("Query").size(), op == RunOperation::Identify ? 2u : 0u);
  }
  // What each read: the download range, then the programs' ranges.
  EXPECT_THAT(CallsStartingWith("ReadData"),
              ElementsAre("ReadData 400000 240", "ReadData 4000F0 240", "ReadData 4001E0 20",
                          "ReadData 480000 240"));
  EXPECT_TRUE(engine.Statistics().verified);
  EXPECT_EQ(engine.Statistics().bytesVerified, 740);
  EXPECT_EQ(engine.Statistics().bytesProgrammed, 0);
}

// Verify-only tells every program's first difference, and an instrument
// that cannot read back is judged by its checksum.
TEST_F(UploadEngineTest, VerifyOnlyReportsTheFirstDifferenceOfEachProgram) {
  FullPlan();
  HoldPackage(instrument, package);
  engine.SetOperation(RunOperation::VerifyOnly);
  // The first and the last byte, and both sides of a block boundary (the
  // range is read in blocks of HF0), are compared like every other.
  for (const auto& [at, text] :
       {std::pair{0x400000u, "H400000"}, std::pair{0x4000EFu, "H4000EF"},
        std::pair{0x4000F0u, "H4000F0"}, std::pair{0x4001F3u, "H4001F3"}}) {
    instrument.flash[at] ^= 0x01;
    EXPECT_FALSE(engine.Upload(package)) << text;
    EXPECT_EQ(engine.GetLastErrorString(), "VERIFY ERROR at " + std::string(text) + " (main.bin)");
    instrument.flash[at] ^= 0x01;
  }
  // One byte up and the next one down: the 8-bit sum stays as it was.
  instrument.flash[0x400007] += 1;
  instrument.flash[0x400008] -= 1;
  instrument.flash[0x480003] ^= 0x01;
  EXPECT_FALSE(engine.Upload(package));
  EXPECT_EQ(engine.Cause(), FailureCause::VerifyMismatch);
  EXPECT_EQ(engine.GetLastErrorString(), "VERIFY ERROR at H400007 (main.bin), H480003 (lang.bin)");
  EXPECT_THAT(recorder.actions, testing::Contains("Verify ERROR at H480003"));
  EXPECT_EQ(instrument.calls.back(), "ProgEnd");

  instrument.answers[app::TLESEDATEN] = Answer{Answer::Kind::HError, 0x55};
  recorder.actions.clear();
  EXPECT_FALSE(engine.Upload(package));
  EXPECT_EQ(engine.GetLastErrorString(), "VERIFY ERROR at its checksum (lang.bin)");
  EXPECT_THAT(
      recorder.actions,
      testing::Contains("The instrument does not read back: only the 8-bit checksum is compared"));
  // main.bin's change is one the 8-bit sum cannot see; lang.bin's it can.
  EXPECT_THAT(CallsStartingWith("Checksum"),
              ElementsAre("Checksum 400000 1F4", "Checksum 480000 F0"));
}

// The wizard's upload screen as a list of what was drawn.
class FakeView final : public QN_UploadView {
 public:
  void ShowWizard() override { log.push_back("show"); }
  void ShowAction(const std::string& text) override { lines.push_back(text); }
  void ShowCancellation(const std::string& text) override { log.push_back("caption " + text); }
  void ShowStepProgress(const std::string& text, int percent) override {
    log.push_back("action " + text);
    steps.push_back(percent);
  }
  void ShowOverallProgress(std::int32_t value, std::int32_t weight) override {
    entire.push_back(value);
    lastWeight = weight;
  }
  void ShowAnimationFrame(int frame) override { frames.push_back(frame); }
  void EnableNavigation(bool enabled) override { log.push_back(enabled ? "nav on" : "nav off"); }
  void ShowResult() override { log.push_back("next"); }
  void ShowReadMe(const std::string&) override {}
  void ClearSummary() override {}
  void AppendSummary(const std::string&) override {}
  bool AdvancedDisplay() const override { return false; }

  std::vector<std::string> log, lines;
  std::vector<int> steps, frames;
  std::vector<std::int32_t> entire;
  std::int32_t lastWeight = 0;
};

TEST_F(UploadEngineTest, WizardModeDrawsIntoTheViewAndRaisesNoEvents) {
  FullPlan();
  FakeView view;
  engine.SetView(&view);
  engine.SetWizardRunning();
  ASSERT_TRUE(engine.Upload(package));
  EXPECT_TRUE(recorder.actions.empty());
  EXPECT_TRUE(recorder.progress.empty());
  EXPECT_EQ(view.lines.front(), "UPLOAD FIRMWARE STARTED");
  // A run that went through ends with the whole bar.
  EXPECT_EQ(view.entire.back(), view.lastWeight);
  EXPECT_EQ(view.log.front(), "nav off");
  EXPECT_THAT(std::vector<std::string>(view.log.end() - 2, view.log.end()),
              ElementsAre("nav on", "next"));
  // The bar is redrawn only when its value grew by a hundredth of itself
  // (but for the whole bar at the end).
  ASSERT_GE(view.entire.size(), 3u);
  EXPECT_EQ(view.entire[0], 0);
  for (std::size_t i = 1; i + 1 < view.entire.size(); ++i)
    EXPECT_GE(view.entire[i], view.entire[i] / 100.0 + view.entire[i - 1]);
  // Frames run forward 0,1,2,3,0,... outside the download step.
  ASSERT_GE(view.frames.size(), 3u);
  EXPECT_THAT(std::vector<int>(view.frames.begin(), view.frames.begin() + 3), ElementsAre(0, 1, 2));
  EXPECT_TRUE(
      std::all_of(view.steps.begin(), view.steps.end(), [](int p) { return p >= 0 && p <= 100; }));
}

TEST_F(UploadEngineTest, BlocksAreCutToWhatOneFrameCarries) {
  FullPlan();
  FakeView view;
  engine.SetView(&view);
  engine.SetWizardRunning();
  package.plan.maxProgLen = 4000;
  package.plan.programs = {{"main.bin", 0x400000, 0x400000 + 500}};
  ASSERT_TRUE(engine.Upload(package));
  EXPECT_THAT(CallsStartingWith("Prog "),
              ElementsAre("Prog 400000 246 1 22", "Prog 4000F6 246 1 22", "Prog 4001EC 8 1 22"));
  EXPECT_THAT(CallsStartingWith("ReadData"),
              ElementsAre("ReadData 490000 245", "ReadData 4900F5 55"));
  // The estimate (and with it the bar) counts the blocks sent: 300 bytes in
  // one read of 245 and a rest, 500 in two of 246 and a rest between the
  // voltage switches and the checksum.
  RunEstimate estimate;
  ASSERT_TRUE(engine.Check(package, &estimate));
  std::map<std::string, std::int64_t> commands;
  for (const EstimatedStep& step : estimate.steps)
    commands[step.what.substr(0, 12)] = step.commands;
  EXPECT_EQ(commands["Read H490000"], 2);
  EXPECT_EQ(commands["Program main"], 6);
  EXPECT_EQ(view.entire.back(), view.lastWeight);
}

TEST_F(UploadEngineTest, WizardModeCancelKeepsTheCancellationForTheForm) {
  FullPlan();
  FakeView view;
  engine.SetView(&view);
  engine.SetWizardRunning();
  instrument.answers[app::TMANUFACTURER] = Answer{Answer::Kind::Silent};
  core::CurrentMessageLoop().Post([&] { engine.Cancel(); });
  EXPECT_FALSE(engine.Upload(package));
  EXPECT_EQ(engine.GetLastError(), package::kErrCancelled);
  EXPECT_EQ(engine.Cause(), FailureCause::Cancelled);
  EXPECT_THAT(view.log, testing::Contains("caption Firmware Upload Cancelled"));
  EXPECT_THAT(view.log, testing::Not(testing::Contains("next")));
}

struct FailureRow {
  const char* name;
  std::uint8_t command;
  Answer answer;
  const char* line;  // the line the failing step writes
  std::int32_t code;
  const char* errorString;  // the text behind the resource text
  FailureCause cause;
};
void PrintTo(const FailureRow& row, std::ostream* os) {
  *os << row.name;
}

class FailureRowTest : public UploadEngineTest, public testing::WithParamInterface<FailureRow> {};

TEST_P(FailureRowTest, StepFailsWithItsLineAndCode) {
  const FailureRow& row = GetParam();
  FullPlan();
  instrument.answers[row.command] = row.answer;
  EXPECT_FALSE(engine.Upload(package));
  EXPECT_THAT(recorder.actions, testing::Contains(row.line));
  EXPECT_EQ(engine.GetLastError(), row.code);
  EXPECT_EQ(engine.GetLastErrorString(),
            package::ErrorResourceText(row.code) + std::string(row.errorString));
  EXPECT_EQ(engine.Cause(), row.cause);
  // The run always winds down through Close and Shutdown.
  EXPECT_EQ(instrument.closeCount, 1);
  EXPECT_EQ(instrument.shutdownCount, 1);
  EXPECT_THAT(CallsStartingWith("ProgEnd"), testing::IsEmpty());
}

Answer Status(std::int16_t status, std::uint32_t fail = 0) {
  Answer a;
  a.status = status;
  a.failAddress = fail;
  return a;
}
Answer ErrorEvent(std::int16_t code) {
  Answer a;
  a.kind = Answer::Kind::ErrorEvent;
  a.errorCode = code;
  return a;
}
// An answer whose response code belongs to another command.
Answer WrongCode(std::uint8_t code) {
  Answer a;
  a.kind = Answer::Kind::WrongCode;
  a.wrongCode = code;
  return a;
}
Answer HError(std::int16_t status) {
  Answer a;
  a.kind = Answer::Kind::HError;
  a.status = status;
  return a;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FailureRowTest,
    testing::Values(
        FailureRow{"VoltageOn", app::TPROGPWRON, Status(0x45),
                   "Error setting Programming Voltage On", package::kErrPowerOn, "45",
                   FailureCause::InstrumentError},
        FailureRow{"VoltageOff", app::TPROGPWROFF, Status(0x47),
                   "Error setting Programming Voltage Off", package::kErrPowerOff, "47",
                   FailureCause::InstrumentError},
        FailureRow{"Erase", app::TFLASHERASE, Status(0x45, 0x80), "FlashDelete ERROR",
                   package::kErrFlashErase, "80", FailureCause::InstrumentError},
        FailureRow{"Program", app::TPROGDATEN, Status(0x43, 0xF0), "Prog ERROR",
                   package::kErrProgramming, "F0", FailureCause::InstrumentError},
        FailureRow{"ChecksumMissing", app::TCHECKSUM, ErrorEvent(app::kErrorNoResponse),
                   "Error getting Checksum", package::kErrCommunication,
                   "111 An Error occured in the session layer", FailureCause::InstrumentSilent},
        // An HERROR that reports no error delivers no checksum: nothing to compare.
        FailureRow{"ChecksumNotDelivered", app::TCHECKSUM, HError(app::kStatusNoError),
                   "Error getting Checksum", package::kErrCommunication, "checksum not delivered",
                   FailureCause::InstrumentError},
        FailureRow{"ReadStatus", app::TLESEDATEN, Status(app::kStatusReadFailed), "Read ERROR",
                   package::kErrReadData, "20", FailureCause::InstrumentError},
        FailureRow{"Query", app::TMANUFACTURER, ErrorEvent(session::kMsgPortFailure),
                   "QueryManufacturerCode ERROR", package::kErrCommunication,
                   "110 An Error occured in the session layer", FailureCause::PortUnavailable},
        FailureRow{"GeneralError", app::TPROGDATEN, HError(0x43), "Prog ERROR",
                   package::kErrGeneral, "43", FailureCause::InstrumentError},
        // An answer with another command's code is no reply: the step fails.
        FailureRow{"ProgramWrongCode", app::TPROGDATEN, WrongCode(app::HCHECKSUM), "Prog ERROR",
                   package::kErrProgramming, " - unexpected answer HA6",
                   FailureCause::InstrumentError},
        FailureRow{"QueryWrongCode", app::TMANUFACTURER, WrongCode(app::HPROGDATEN),
                   "QueryManufacturerCode ERROR", package::kErrCommunication,
                   " - unexpected answer HA5", FailureCause::InstrumentError},
        FailureRow{"EraseWrongCode", app::TFLASHERASE, WrongCode(app::HPROGPWRON),
                   "FlashDelete ERROR", package::kErrFlashErase, " - unexpected answer HA2",
                   FailureCause::InstrumentError},
        FailureRow{"ReadWrongCode", app::TLESEDATEN, WrongCode(app::HPROGEND), "Read ERROR",
                   package::kErrReadData, " - unexpected answer H48",
                   FailureCause::InstrumentError},
        FailureRow{"ChecksumWrongCode", app::TCHECKSUM, WrongCode(app::HMANUFACTURER),
                   "Error getting Checksum", package::kErrCommunication, " - unexpected answer HA1",
                   FailureCause::InstrumentError}),
    [](const auto& row) { return std::string(row.param.name); });

// A read-back file is replaced only by a whole read the user agreed to,
// never written through a link, never replaced by erased flash while it holds
// other data, and a file that appeared during the run (a second run in the
// same folder) is never replaced at all.
struct ReadBackRow {
  const char* name;
  enum { Replaced, FailedRead, CancelledRead, ErasedRead, SecondErasedRead, Link, Appeared } fault;
  bool ok;
  const char* calibration;             // what cal.bin holds afterwards; null: the 300 bytes read
  std::set<std::string> besides = {};  // more files the run leaves
};
void PrintTo(const ReadBackRow& row, std::ostream* os) {
  *os << row.name;
}
class ReadBackFiles : public UploadEngineTest, public testing::WithParamInterface<ReadBackRow> {};

TEST_P(ReadBackFiles, ExistingFileIsNeverLost) {
  const ReadBackRow& row = GetParam();
  FullPlan();
  package.plan.programs.clear();
  instrument.readCap = 100;
  const std::string calibration = (dir / "cal.bin").string();
  pelvane::test::WriteBytes(dir / "old.bin", {'o', 'l', 'd'});
  // The user agreed to replace the file found when the package was checked.
  package.plan.downloads[0].replace = row.fault != ReadBackRow::Appeared;
  if (row.fault == ReadBackRow::Link) {
    std::error_code ec;
    std::filesystem::create_symlink(dir / "old.bin", calibration, ec);
    if (ec) GTEST_SKIP() << "no symbolic links here: " << ec.message();
  } else if (row.fault == ReadBackRow::Appeared) {
    instrument.onCommand = [&](const std::string& call) {
      if (call.rfind("ReadData 4900C8", 0) == 0)
        std::filesystem::copy_file(dir / "old.bin", calibration);
    };
  } else {
    std::filesystem::copy_file(dir / "old.bin", calibration);
  }
  if (row.fault == ReadBackRow::SecondErasedRead)
    pelvane::test::WriteBytes(dir / "cal.bin.erased", std::vector<std::uint8_t>(300, 0xFF));
  if (row.fault == ReadBackRow::FailedRead)
    instrument.onCommand = [&](const std::string& call) {
      if (call.rfind("ReadData 4900C8", 0) == 0)
        instrument.answers[app::TLESEDATEN] = Status(app::kStatusReadFailed);
    };
  if (row.fault == ReadBackRow::CancelledRead)
    instrument.onCommand = [&](const std::string& call) {
      // No answer comes; the cancellation ends the wait (and leaves no
      // answer behind in the loop for the next test).
      if (call.rfind("ReadData 4900C8", 0) != 0) return;
      instrument.answers[app::TLESEDATEN] = Answer{Answer::Kind::Silent};
      core::CurrentMessageLoop().Post([&] { engine.Cancel(); });
    };
  if (row.fault == ReadBackRow::ErasedRead || row.fault == ReadBackRow::SecondErasedRead)
    instrument.flash.clear();
  struct Written final : QN_UploadProcessEvents {
    void ProgressUpdate(std::string&, std::int16_t&) override {}
    void ActionUpdate(std::string&) override {}
    void DownloadWritten(const std::string& file, std::int64_t,
                         const std::string& digest) override {
      name = file;
      sha256 = digest;
    }
    std::string name, sha256;
  } written;
  core::Cookie c = 0;
  engine.Advise(&written, &c);

  EXPECT_EQ(engine.Upload(package), row.ok) << engine.GetLastErrorString();
  std::set<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    files.insert(entry.path().filename().string());
  std::set<std::string> expected{"cal.bin", "old.bin"};
  expected.insert(row.besides.begin(), row.besides.end());
  EXPECT_EQ(files, expected);  // no temporary or partial file left behind
  if (row.ok) {
    // The record names where the bytes went and their digest as written.
    EXPECT_EQ(written.sha256.size(), 64u);
    EXPECT_NE(written.name, "");
    core::Sha256 digest;
    digest.Update(pelvane::test::FileBytes(written.name));
    EXPECT_EQ(digest.FinishHex(), written.sha256);
  }
  EXPECT_EQ(pelvane::test::ReadText(dir / "old.bin"), "old");
  const std::string read = pelvane::test::ReadText(calibration);
  if (row.calibration != nullptr) {
    EXPECT_EQ(read, row.calibration);
  } else {
    EXPECT_FALSE(std::filesystem::is_symlink(calibration));
    // The mode of a plain new file, not the temporary file's owner-only one.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(static_cast<mode_t>(std::filesystem::status(calibration).permissions()),
              0666 & ~mask);
    ASSERT_EQ(read.size(), 300u);
    EXPECT_EQ(static_cast<std::uint8_t>(read[299]), static_cast<std::uint8_t>(299 * 13));
  }
  if (row.fault == ReadBackRow::ErasedRead || row.fault == ReadBackRow::SecondErasedRead) {
    const std::string erased = row.fault == ReadBackRow::ErasedRead ? ".erased" : ".erased.1";
    EXPECT_EQ(pelvane::test::ReadText(calibration + erased), std::string(300, '\xFF'));
    EXPECT_THAT(recorder.actions,
                testing::Contains("Read File = " + calibration +
                                  " read only erased bytes (FF): the existing file is kept, "
                                  "the read is in " +
                                  calibration + erased));
  }
  if (row.fault == ReadBackRow::Appeared) {
    EXPECT_EQ(pelvane::test::FileBytes(calibration + ".1").size(), 300u);
    EXPECT_THAT(recorder.actions,
                testing::Contains("Read File = " + calibration +
                                  ": a file of that name appeared during the run and is kept, "
                                  "the read is in " +
                                  calibration + ".1"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ReadBackFiles,
    testing::Values(ReadBackRow{"Replaced", ReadBackRow::Replaced, true, nullptr},
                    ReadBackRow{"FailedRead", ReadBackRow::FailedRead, false, "old"},
                    ReadBackRow{"CancelledRead", ReadBackRow::CancelledRead, false, "old"},
                    ReadBackRow{
                        "ErasedRead", ReadBackRow::ErasedRead, true, "old", {"cal.bin.erased"}},
                    // A second erased read never replaces the first one's file either.
                    ReadBackRow{"SecondErasedRead",
                                ReadBackRow::SecondErasedRead,
                                true,
                                "old",
                                {"cal.bin.erased", "cal.bin.erased.1"}},
                    ReadBackRow{"Link", ReadBackRow::Link, true, nullptr},
                    ReadBackRow{"Appeared", ReadBackRow::Appeared, true, "old", {"cal.bin.1"}}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(UploadEngineTest, GeneralErrorWithStatusBIsNoFailure) {
  FullPlan();
  instrument.answers[app::TPROGPWRON] = HError(app::kStatusNoError);
  EXPECT_TRUE(engine.Upload(package));
  EXPECT_EQ(engine.Cause(), FailureCause::None);
}

TEST_F(UploadEngineTest, ChecksumMismatchHasACodeOfItsOwn) {
  FullPlan();
  instrument.checksumOverride = 0x1234;
  EXPECT_FALSE(engine.Upload(package));
  EXPECT_EQ(engine.Cause(), FailureCause::ChecksumMismatch);
  const std::uint32_t sum =
      std::accumulate(package.members["main.bin"].begin(), package.members["main.bin"].end(), 0u);
  EXPECT_EQ(engine.GetLastError(), package::kErrChecksum);
  EXPECT_EQ(engine.GetLastErrorString(),
            "CHECKSUM ERROR, Target = H1234 Host = H" + HexText(sum & 0xFF) + " (main.bin)");
  EXPECT_THAT(recorder.actions,
              testing::Contains("Checksum Error,  Target = H1234 Host = H" + HexText(sum & 0xFF)));
  EXPECT_THAT(recorder.actions, testing::Not(testing::Contains("Block Count = 3")));
}

// Two bytes changed in opposite directions keep the 8-bit sum: only reading
// the range back shows them.
TEST_F(UploadEngineTest, VerifyReadsBackWhatTheChecksumCannotSee) {
  FullPlan();
  engine.SetVerify(true);
  ASSERT_TRUE(engine.Upload(package)) << engine.GetLastErrorString();
  EXPECT_EQ(std::count(recorder.actions.begin(), recorder.actions.end(), "Verify OK"), 2);
  EXPECT_THAT(CallsStartingWith("ReadData 4"),
              ElementsAre("ReadData 490000 240", "ReadData 4900F0 60", "ReadData 400000 240",
                          "ReadData 4000F0 240", "ReadData 4001E0 20", "ReadData 480000 240"));
  instrument.onCommand = [&](const std::string& call) {
    if (call != "Checksum 400000 1F4") return;
    instrument.flash[0x400010] = static_cast<std::uint8_t>(instrument.flash[0x400010] + 1);
    instrument.flash[0x400011] = static_cast<std::uint8_t>(instrument.flash[0x400011] - 1);
  };
  EXPECT_FALSE(engine.Upload(package));
  EXPECT_EQ(engine.GetLastError(), package::kErrVerify);
  EXPECT_EQ(engine.GetLastErrorString(), "VERIFY ERROR at H400010 (main.bin)");
  EXPECT_EQ(engine.Cause(), FailureCause::VerifyMismatch);
  EXPECT_THAT(recorder.actions, testing::Contains("Verify ERROR at H400010"));
  EXPECT_THAT(CallsStartingWith("ProgEnd"), ElementsAre("ProgEnd"));  // only the first run's
}

// The step ends as it always does: voltage off, its closing line, then the
// shutdown; the message names the erase step's range.
TEST_F(UploadEngineTest, EraseRangeInNoMemoryStillSwitchesTheVoltageOff) {
  FullPlan();
  package.plan.erases = {{0x4A0000 - 0x10, 0x20, 0x4A0000 + 0x10}};
  EXPECT_FALSE(engine.Upload(package));
  EXPECT_EQ(engine.GetLastErrorString(),
            "FLASH RANGE ERROR, erase range H49FFF0 to H4A0010 lies in no flash memory");
  EXPECT_EQ(engine.Cause(), FailureCause::RangeOutsideMemory);
  EXPECT_THAT(CallsStartingWith("Power"), ElementsAre("PowerOn", "PowerOff"));
  const auto& a = recorder.actions;
  const auto it = std::find(a.begin(), a.end(), "FlashErase Configuration Error");
  ASSERT_LE(it + 5, a.end());
  EXPECT_EQ(
      std::vector<std::string>(it, it + 5),
      (std::vector<std::string>{"FlashErase Configuration Error", "Programming Voltage Off",
                                "Erase Flash Memories Completed", "Close Communication Channel",
                                "Shutdown Application Layer"}));
  EXPECT_THAT(CallsStartingWith("Prog"), testing::IsEmpty());
}

TEST_F(UploadEngineTest, ProgramInNoMemoryStopsWithTheVoltageOn) {
  FullPlan();
  package.plan.programs = {{"main.bin", 0x47FF00, 0x47FF00 + 500}};
  EXPECT_FALSE(engine.Upload(package));
  EXPECT_EQ(engine.GetLastErrorString(),
            "FLASH RANGE ERROR, program main.bin H47FF00 to H4800F4 lies in no flash memory");
  EXPECT_EQ(engine.Cause(), FailureCause::RangeOutsideMemory);
  const auto& a = recorder.actions;
  const auto it = std::find(a.begin(), a.end(), "Program Configuration ERROR");
  ASSERT_NE(it, a.end());
  EXPECT_EQ(*(it + 1), "Program Flash Memories Completed");
  // Erase switches on and off; the program only on.
  EXPECT_THAT(CallsStartingWith("Power"), ElementsAre("PowerOn", "PowerOff", "PowerOn"));
}

TEST_F(UploadEngineTest, EmptyListsStillSwitchTheEraseVoltage) {
  EXPECT_TRUE(engine.Upload(package));
  EXPECT_EQ(instrument.calls, (std::vector<std::string>{"PowerOn", "PowerOff"}));
}

// The cancellation ends the wait; what the run left behind decides the hint:
// before the erase the instrument keeps its firmware, during it the
// programming voltage stays on.
TEST_F(UploadEngineTest, CancelFromAnotherThreadEndsTheWait) {
  const struct {
    const char* call;
    std::uint8_t command;
    const char* line;
    RunStage stage;
  } rows[] = {
      {"Query", app::TMANUFACTURER, "QueryManufacturerCode ERROR", RunStage::FlashUntouched},
      {"Erase", app::TFLASHERASE, "FlashDelete ERROR", RunStage::VoltageOn}};
  FullPlan();
  core::MessageLoop& loop = core::CurrentMessageLoop();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.call);
    instrument.answers.clear();
    instrument.answers[row.command] = Answer{Answer::Kind::Silent};
    instrument.onCommand = [&](const std::string& call) {
      if (call.rfind(row.call, 0) == 0)
        std::thread([&] { loop.Post([&] { engine.Cancel(); }); }).join();
    };
    recorder.actions.clear();
    EXPECT_FALSE(engine.Upload(package));
    EXPECT_EQ(engine.GetLastError(), package::kErrCancelled);
    EXPECT_EQ(engine.Cause(), FailureCause::Cancelled);
    EXPECT_THAT(recorder.actions, testing::Contains("Upload Cancel Received"));
    EXPECT_THAT(recorder.actions, testing::Contains(row.line));
    EXPECT_EQ(engine.Stage(), row.stage);
  }
  EXPECT_EQ(instrument.shutdownCount, 2);
}

// A cancellation that comes while the package's members are read (a large
// package takes a while) is honoured before the port even opens.
TEST_F(UploadEngineTest, CancelWhileTheMembersAreReadSendsNothing) {
  FullPlan();
  core::MessageLoop& loop = core::CurrentMessageLoop();
  std::thread([&] { loop.Post([&] { engine.Cancel(); }); }).join();
  EXPECT_FALSE(engine.Upload(package));
  EXPECT_EQ(engine.Cause(), FailureCause::Cancelled);
  EXPECT_EQ(instrument.created, 0);
  EXPECT_EQ(engine.Stage(), RunStage::NothingSent);
  HintContext context;
  context.stage = engine.Stage();
  EXPECT_THAT(CauseHint(FailureCause::Cancelled, context), HasSubstr("before anything was sent"));
}

TEST_F(UploadEngineTest, IdleTimeOutEndsAWaitThatNoAnswerEnds) {
  FullPlan();
  instrument.answers[app::TFLASHERASE] = Answer{Answer::Kind::Silent};
  engine.SetIdleTimeout(std::chrono::milliseconds(20));
  EXPECT_FALSE(engine.Upload(package));
  EXPECT_TRUE(engine.IdleTimedOut());
  EXPECT_EQ(engine.GetLastError(), package::kErrCommunication);
  EXPECT_EQ(engine.Cause(), FailureCause::InstrumentSilent);
  EXPECT_THAT(engine.GetLastErrorString(), HasSubstr("stopped answering"));
  EXPECT_THAT(recorder.actions,
              testing::Contains("The instrument stopped answering (no answer for 0.02 seconds)"));
  EXPECT_THAT(recorder.actions, testing::Contains("FlashDelete ERROR"));
  EXPECT_EQ(CallsStartingWith("Erase").size(), 1u);
}

// An answer lost on the line: damaged (the session's 118), ended early (113)
// or not come within the command's silence. Commands that only read or set a
// state are sent again; a program block's range is read back; an erase fails
// at once, and without resends everything does.
struct LostAnswerRow {
  const char* name;
  std::uint8_t command;
  Answer answer;
  const char* calls;    // what the fake records of that command
  std::size_t sent;     // how often it went
  std::size_t resends;  // how many resends the run reported
  const char* line;     // an action line the run writes
  std::int32_t code;    // 0: the run passes
  const char* detail;   // the text behind the code's resource text
  FailureCause cause;
  bool resend = true;      // the controller's setting
  bool strayByte = false;  // the instrument's flash at the block holds something else
};
void PrintTo(const LostAnswerRow& row, std::ostream* os) {
  *os << row.name;
}
class LostAnswers : public UploadEngineTest, public testing::WithParamInterface<LostAnswerRow> {};

TEST_P(LostAnswers, AreAskedAgainReadBackOrFailWithTheCause) {
  const LostAnswerRow& row = GetParam();
  FullPlan();
  instrument.answers[row.command] = row.answer;
  engine.SetResend(row.resend);
  engine.SetIdleTimeout(std::chrono::milliseconds(20));
  if (row.strayByte)
    instrument.onCommand = [&](const std::string& call) {
      if (call.rfind("Prog 400000", 0) == 0) instrument.flash[0x400005] = 0x12;
    };
  EXPECT_EQ(engine.Upload(package), row.code == 0) << engine.GetLastErrorString();
  EXPECT_EQ(CallsStartingWith(row.calls).size(), row.sent);
  EXPECT_EQ(recorder.resends.size(), row.resends);
  EXPECT_THAT(recorder.actions, testing::Contains(row.line));
  // A block is read back in short pieces, which a noisy line seldom damages.
  for (const std::string& call : CallsStartingWith("ReadData 4000"))
    EXPECT_THAT(call, testing::EndsWith(" 16"));
  EXPECT_EQ(engine.GetLastError(), row.code);
  EXPECT_EQ(engine.Cause(), row.cause);
  if (row.cause == FailureCause::AnswerCorrupted) {
    // Only a run that erased something may have left the firmware incomplete.
    HintContext context;
    context.stage = engine.Stage();
    EXPECT_THAT(CauseHint(row.cause, context),
                HasSubstr(row.command == app::TMANUFACTURER ? "the instrument keeps its firmware"
                                                            : "may hold incomplete firmware"));
  }
  if (row.code != 0)
    EXPECT_EQ(engine.GetLastErrorString(), package::ErrorResourceText(row.code) + row.detail);
  else
    EXPECT_TRUE(std::equal(package.members["main.bin"].begin(), package.members["main.bin"].end(),
                           instrument.flash.begin(), [](std::uint8_t byte, const auto& cell) {
                             return cell.second == byte;
                           }));
}

Answer Damaged(int times = -1, bool executed = true) {
  Answer a;
  a.kind = Answer::Kind::Damaged;
  a.times = times;
  a.executed = executed;
  return a;
}
Answer Once(Answer a) {
  a.times = 1;
  return a;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LostAnswers,
    testing::Values(
        LostAnswerRow{"QueryDamaged", app::TMANUFACTURER, Damaged(1), "Query", 3, 1,
                      "QueryManufacturerCode: answer damaged on the line, sent again (1 of 2)", 0,
                      "", FailureCause::None},
        // A read sent again asks for 16 bytes, so the range takes one read more.
        LostAnswerRow{"ReadDamagedTwice", app::TLESEDATEN, Damaged(2), "ReadData", 5, 2,
                      "ReadData: answer damaged on the line, sent again (2 of 2)", 0, "",
                      FailureCause::None},
        LostAnswerRow{"ReadEndedEarly", app::TLESEDATEN,
                      Once(Answer{Answer::Kind::ErrorEvent, -1, 0, app::kErrorReadTimeout}),
                      "ReadData", 4, 1, "ReadData: answer ended early, sent again (1 of 2)", 0, "",
                      FailureCause::None},
        LostAnswerRow{"ChecksumDamaged", app::TCHECKSUM, Damaged(1), "Checksum", 3, 1,
                      "Checksum: answer damaged on the line, sent again (1 of 2)", 0, "",
                      FailureCause::None},
        LostAnswerRow{"VoltageOnDamaged", app::TPROGPWRON, Damaged(1), "PowerOn", 4, 1,
                      "ProgPowerOn: answer damaged on the line, sent again (1 of 2)", 0, "",
                      FailureCause::None},
        LostAnswerRow{"VoltageOffDamaged", app::TPROGPWROFF, Damaged(1), "PowerOff", 4, 1,
                      "ProgPowerOff: answer damaged on the line, sent again (1 of 2)", 0, "",
                      FailureCause::None},
        LostAnswerRow{"QuerySilent", app::TMANUFACTURER, Once(Answer{Answer::Kind::Silent}),
                      "Query", 3, 1,
                      "QueryManufacturerCode: no answer for 0.02 seconds, sent again (1 of 2)", 0,
                      "", FailureCause::None},
        LostAnswerRow{"QueryAlwaysDamaged", app::TMANUFACTURER, Damaged(), "Query", 3, 2,
                      "QueryManufacturerCode ERROR", package::kErrCommunication,
                      "118 Answer to QueryManufacturerCode damaged on the line (checksum error) "
                      "(sent 3 times)",
                      FailureCause::AnswerCorrupted},
        LostAnswerRow{"EraseDamaged", app::TFLASHERASE, Damaged(1), "Erase", 1, 0,
                      "FlashDelete ERROR", package::kErrCommunication,
                      "118 Answer to FlashDelete damaged on the line (checksum error)",
                      FailureCause::AnswerCorrupted},
        LostAnswerRow{"ProgDamagedButProgrammed", app::TPROGDATEN, Damaged(1), "Prog ", 4, 0,
                      "Prog: the block at H400000 reads back as sent", 0, "", FailureCause::None},
        LostAnswerRow{"ProgDamagedNotProgrammed", app::TPROGDATEN, Damaged(1, false), "Prog ", 5, 1,
                      "Prog: the block at H400000 reads back erased, sent again (1 of 1)", 0, "",
                      FailureCause::None},
        LostAnswerRow{"ProgSilentNotProgrammed", app::TPROGDATEN,
                      Once(Answer{Answer::Kind::Silent}), "Prog ", 5, 1,
                      "Prog: no answer for 0.02 seconds, reading the block at H400000 back", 0, "",
                      FailureCause::None},
        LostAnswerRow{"ProgNeverProgrammed", app::TPROGDATEN, Damaged(-1, false), "Prog ", 2, 1,
                      "Prog: the block at H400000 still reads back erased",
                      package::kErrProgramming, "400000", FailureCause::AnswerCorrupted},
        LostAnswerRow{"ProgHalfProgrammed", app::TPROGDATEN, Damaged(1, false), "Prog ", 1, 0,
                      "Prog: the block at H400000 reads back neither as sent nor erased",
                      package::kErrProgramming, "400000", FailureCause::AnswerCorrupted, true,
                      true},
        // Without resends every command goes once and a lost answer fails the run.
        LostAnswerRow{"NoResend", app::TMANUFACTURER, Damaged(1), "Query", 1, 0,
                      "QueryManufacturerCode ERROR", package::kErrCommunication,
                      "118 Answer to QueryManufacturerCode damaged on the line (checksum error)",
                      FailureCause::AnswerCorrupted, false}),
    [](const auto& row) { return std::string(row.param.name); });

// The whole run's progress follows the time each step takes on the line:
// with two large files the bar is near half-way in the middle of the run,
// not near its end because the erase ranges are long.
TEST_F(UploadEngineTest, OverallProgressFollowsTheTimeOfEachStep) {
  FullPlan();
  package.plan.erases = {{0x400000, 0x80000, 0x480000}, {0x480000, 0x20000, 0x4A0000}};
  package.plan.programs = {{"main.bin", 0x400000, 0x400000 + 12000},
                           {"lang.bin", 0x480000, 0x480000 + 12000}};
  package.members["main.bin"] = Bytes(12000, 3);
  package.members["lang.bin"] = Bytes(12000, 9);
  // The overall fraction whenever a file's own progress reaches half-way.
  std::map<std::string, double> halfWay;
  struct Spy final : QN_UploadProcessEvents {
    void ActionUpdate(std::string&) override {}
    void ProgressUpdate(std::string& text, std::int16_t& percent) override {
      if (percent >= 50 && !halfWay->count(text)) (*halfWay)[text] = last;
    }
    void OverallProgress(const RunProgress& p) override {
      EXPECT_GE(p.fraction, last);
      last = p.fraction;
    }
    std::map<std::string, double>* halfWay;
    double last = 0;
  } spy;
  spy.halfWay = &halfWay;
  core::Cookie c;
  engine.Advise(&spy, &c);
  ASSERT_TRUE(engine.Upload(package)) << engine.GetLastErrorString();
  EXPECT_EQ(spy.last, 1.0);
  EXPECT_GT(halfWay["Program File = main.bin"], 0.15);
  EXPECT_LT(halfWay["Program File = main.bin"], 0.4);
  EXPECT_GT(halfWay["Program File = lang.bin"], 0.6);
  EXPECT_LT(halfWay["Program File = lang.bin"], 0.85);
  // The step's own bytes and time, for its rate.
  const RunProgress& end = recorder.overall.back();
  EXPECT_EQ(end.step, "Program File = lang.bin");
  EXPECT_EQ(end.stepBytes, 12000);
  EXPECT_EQ(engine.Statistics().bytesProgrammed, 24000);
  EXPECT_EQ(engine.Statistics().bytesReadBack, 300);
}

}  // namespace
}  // namespace pelvane::upload
