// The runner's decisions with a fake application object: exit codes, output
// forms, questions, cancellation and the record.
#include "cli/cli_runner.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "fakes/fake_app.h"
#include "package/package_writer.h"
#include "ports/kind/device_name.h"
#include "upload/scratch_working_directory.h"

namespace pelvane::cli {
namespace {

// A device the package does not list, in the form of this system: a runner
// takes it whatever the package's PORTS say.
const std::string kDevice = ports::IsDevicePath("/dev/pts/99") ? "/dev/pts/99" : "COM99";

using nlohmann::json;
using testing::HasSubstr;
using testing::Not;
using upload::test::Answer;
using upload::test::FakeInstrument;

class CliRunnerTest : public testing::Test {
 protected:
  CliRunnerTest() : registry(upload::test::FakeRegistry(instrument)) {
    dir = std::filesystem::temp_directory_path() /
          ("pelvane-cli-runner-" + std::to_string(::getpid()) + "-" +
           testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    download = (dir / "dump.bin").string();
    package::PackageWriter writer;
    writer.AddMember("QXCONFIG.INI",
                     "[HOST]\nPORTS=COM1,GPIB\nUART=COM1\nBAUD=9600\n"
                     "TRANSFER=TP.BIN,0x100,0x100\n"
                     "FIRMWARE_LANGUAGES=English,German\n"
                     "[TARGET]\nPROCESSOR=I80X86\nARCHITECTURE=B8\n"
                     "MEMORY=0x1000,0x1000,AM29F010\n"
                     "[FILES]\nUPLOAD=0x1000,16,dump.bin\nPROGRAM=0x1000,P.BIN\n");
    writer.AddMember("TP.BIN", std::vector<std::uint8_t>{1, 2, 3});
    writer.AddMember("P.BIN", std::vector<std::uint8_t>(300, 0x5A));
    writer.SetComment("Runner test");
    EXPECT_TRUE(writer.Write((dir / "p.qxpkg").string()));
    options.package = (dir / "p.qxpkg").string();
    options.port = kDevice;
    options.outputDir = dir.string();
  }
  ~CliRunnerTest() override { std::filesystem::remove_all(dir); }

  json Report() const {
    std::ifstream file(options.report);
    return json::parse(file);
  }

  int Run(bool inTerminal = false, const std::string& input = "") {
    in.clear();
    in.str(input);
    CliRunner runner(options, {out, err, in, inTerminal, false}, registry);
    return runner.Run();
  }

  FakeInstrument instrument;
  core::ClassRegistry<app::IQX_App> registry;
  std::filesystem::path dir;
  std::string download;
  CliOptions options;
  std::ostringstream out, err;
  std::istringstream in;
};

TEST_F(CliRunnerTest, SuccessPrintsEveryActionLineAndTheSuccessText) {
  EXPECT_EQ(Run(), kExitOk) << err.str();
  EXPECT_EQ(instrument.openString,
            "clsid:519498DF-CB5C-11D4-A40B-0050DAE004CA " + kDevice + ":9600,E,8,1");
  EXPECT_THAT(out.str(), HasSubstr("UPLOAD FIRMWARE STARTED\n"));
  EXPECT_THAT(out.str(), HasSubstr("Block Count = 2\n"));
  EXPECT_THAT(out.str(), HasSubstr("Please restart your instrument and run the calibration "
                                   "routines.\n"));
  EXPECT_EQ(err.str(), "");
}

TEST_F(CliRunnerTest, JsonCarriesActionsProgressAndTheResultLast) {
  options.json = true;
  instrument.answers[app::TPROGDATEN] = Answer{};
  instrument.answers[app::TPROGDATEN].status = 0x43;
  instrument.answers[app::TPROGDATEN].failAddress = 0x10;
  EXPECT_EQ(Run(), kExitUploadFailed);
  const std::string text = out.str();
  EXPECT_THAT(text, HasSubstr("{\"event\":\"action\",\"text\":\"Prog ERROR\"}\n"));
  // The step's percentage and the whole run's.
  EXPECT_THAT(text, HasSubstr("{\"event\":\"progress\",\"text\":\"Program File = P.BIN\","
                              "\"percent\":0,\"overall\":30}\n"));
  // Last the result, with what the run moved and how long it took.
  json result = json::parse(text.substr(text.rfind("{\"event\"")));
  EXPECT_GE(result["durationSeconds"].get<double>(), 0.0);
  result.erase("durationSeconds");
  EXPECT_EQ(result, json::parse(R"({"event": "result", "ok": false, "code": 101,
                                    "message": "PROGRAMMING ERROR, failed at address 10",
                                    "cause": "instrument_error", "bytesProgrammed": 0,
                                    "bytesReadBack": 16, "bytesVerified": 0, "resends": 0})"));
}

TEST_F(CliRunnerTest, ExistingDownloadIsAskedOnATerminal) {
  std::ofstream(download) << "old";
  EXPECT_EQ(Run(/*inTerminal=*/true, "n\n"), kExitValidation);
  EXPECT_THAT(err.str(), HasSubstr("Do you want to overwite the file? [y/N]"));
  EXPECT_EQ(instrument.created, 0);
  err.str("");
  EXPECT_EQ(Run(/*inTerminal=*/true, "yes\n"), kExitOk) << err.str();
}

TEST_F(CliRunnerTest, ExistingDownloadIsRefusedUnlessYes) {
  std::ofstream(download) << "old";
  EXPECT_EQ(Run(), kExitValidation);
  EXPECT_THAT(err.str(), HasSubstr("Filename Invalid " + download));
  EXPECT_THAT(err.str(), HasSubstr("hint: a download file exists already"));
  options.yes = true;
  EXPECT_EQ(Run(), kExitOk);
}

TEST_F(CliRunnerTest, CancelDuringTheUploadShutsDownAndGives130) {
  instrument.answers[app::TMANUFACTURER] = Answer{Answer::Kind::Silent};
  options.report = (dir / "r.json").string();
  CliRunner runner(options, {out, err, in, false, false}, registry);
  // The signal comes from another thread while the upload waits for its first answer.
  instrument.onCommand = [&](const std::string& call) {
    if (call.rfind("Query", 0) == 0) std::thread([&] { runner.RequestCancel(); }).join();
  };
  const int code = runner.Run();
  EXPECT_EQ(code, kExitCancelled);
  EXPECT_EQ(instrument.shutdownCount, 1);
  const json record = Report();
  EXPECT_EQ(record["outcome"],
            json::parse(R"({"ok": false, "code": 11, "message": "Process Cancelled by User",
                            "cause": "cancelled", "exitCode": 130})"));
  EXPECT_TRUE(std::any_of(record["actions"].begin(), record["actions"].end(), [](const json& a) {
    return a["text"] == "Upload Cancel Received";
  })) << record["actions"].dump();
}

// A second stop request ends the process from the watcher's thread while the
// run is stuck in a wait: the record is written there (cancelled), and a
// request after the run's own end changes nothing.
TEST_F(CliRunnerTest, ASecondStopRequestWritesTheRecordFromTheWatchersThread) {
  options.json = true;
  options.report = (dir / "r.json").string();
  CliRunner runner(options, {out, err, in, false, false}, registry);
  int forced = -1;
  json record;
  instrument.onCommand = [&](const std::string& call) {
    if (call.rfind("Query", 0) != 0) return;
    std::thread([&] { forced = runner.ForcedEnd(); }).join();
    record = Report();
  };
  runner.Run();
  EXPECT_EQ(forced, kExitCancelled);
  EXPECT_EQ(record["outcome"]["cause"], "cancelled");
  EXPECT_EQ(record["outcome"]["exitCode"], kExitCancelled);
  EXPECT_THAT(err.str(), HasSubstr("stopped at once after a second stop request"));
  EXPECT_THAT(err.str(), HasSubstr("hint: the upload was cancelled before anything was erased"));
  EXPECT_THAT(out.str(), HasSubstr("\"cause\":\"cancelled\"}\n"));
  EXPECT_EQ(runner.ForcedEnd(), kExitOk);
}

// A signal that comes once the run has succeeded changes nothing.
TEST_F(CliRunnerTest, SignalAfterSuccessKeepsTheSuccess) {
  options.report = (dir / "r.json").string();
  CliRunner runner(options, {out, err, in, false, false}, registry);
  instrument.onCommand = [&](const std::string& call) {
    if (call == "Shutdown") runner.RequestCancel();
  };
  EXPECT_EQ(runner.Run(), kExitOk) << err.str();
  EXPECT_THAT(err.str(), Not(HasSubstr("cancelled")));
}

TEST_F(CliRunnerTest, CancelBeforeTheUploadStartsNothing) {
  CliRunner runner(options, {out, err, in, false, false}, registry);
  runner.RequestCancel();
  EXPECT_EQ(runner.Run(), kExitCancelled);
  EXPECT_EQ(instrument.created, 0);
}

TEST_F(CliRunnerTest, PortNamesFollowThePortRule) {
  options.yes = true;  // every run writes the download file again
  // A pasted device path with a blank in front is still that device.
  options.port = " " + kDevice;
  EXPECT_EQ(Run(), kExitOk) << err.str();
  EXPECT_EQ(instrument.openString,
            "clsid:519498DF-CB5C-11D4-A40B-0050DAE004CA " + kDevice + ":9600,E,8,1");
  // Any GPIB name opens the GPIB port, as the rule says.
  options.port = "gpib0";
  EXPECT_EQ(Run(), kExitOk) << err.str();
  EXPECT_EQ(instrument.openString, "clsid:B35BC69F-C22C-11D4-A408-0050DAE004CA GPIB0");
  // Names that are neither listed nor a path nor GPIB stay refused.
  options.port = "XYZ";
  EXPECT_EQ(Run(), kExitUsage);
  EXPECT_THAT(err.str(), HasSubstr("--port XYZ is neither a port of the package"));
}

TEST_F(CliRunnerTest, PortThatFailsToOpenGetsAHint) {
  instrument.initLastError = 2;
  options.port = kDevice;
  EXPECT_EQ(Run(), kExitUploadFailed);
  EXPECT_THAT(err.str(), HasSubstr("hint: the port could not be opened"));
}

TEST_F(CliRunnerTest, AFaultThatEscapesTheRunEndsAsAnInternalFailure) {
  options.json = true;
  options.report = (dir / "r.json").string();
  instrument.onCommand = [](const std::string&) { throw std::runtime_error("fake broke"); };
  CliRunner runner(options, {out, err, in, false, false}, registry);
  int code = 0;
  // As pelvane-cli's main does.
  try {
    code = runner.Run();
  } catch (const std::exception& error) {
    code = runner.InternalFault(error.what());
  }
  EXPECT_EQ(code, kExitUploadFailed);
  EXPECT_THAT(out.str(), testing::EndsWith("\"message\":\"fake broke\",\"cause\":\"internal\"}\n"));
  EXPECT_THAT(err.str(), HasSubstr("hint: an internal fault"));
  EXPECT_EQ(Report()["outcome"]["cause"], "internal");
}

TEST_F(CliRunnerTest, SessionTimeOutGetsTheStoppedAnsweringHint) {
  instrument.answers[app::TCHECKSUM] = Answer{Answer::Kind::ErrorEvent};
  instrument.answers[app::TCHECKSUM].errorCode = app::kErrorNoResponse;
  instrument.errorText = "Session Timeout (No response from instrument)";
  EXPECT_EQ(Run(), kExitUploadFailed);
  EXPECT_THAT(err.str(), HasSubstr("hint: the instrument stopped answering"));
}

TEST_F(CliRunnerTest, SilentBootMonitorGetsTheKeyHint) {
  instrument.verdict = app::PT_TNORESPONSE;
  EXPECT_EQ(Run(), kExitUploadFailed);
  EXPECT_THAT(out.str(), HasSubstr("Transfer Program Failed, Error Code = 906\n"));
  EXPECT_THAT(err.str(), HasSubstr("pressing the number 5"));
}

// A device the package does not list stands in for the package's serial
// port and starts with its key. Without --port the run names the device the
// package's port means, and the hint how to find the right one.
TEST_F(CliRunnerTest, BootKeyAndDeviceOfThePortAreNamed) {
  package::PackageWriter writer;
  writer.AddMember("QXCONFIG.INI",
                   "[HOST]\nPORTS=GPIB,COM1\nUART=GPIB\nCOM1=F1 key\nBAUD=9600\n"
                   "TRANSFER=TP.BIN,0x100,0x100\n"
                   "[TARGET]\nPROCESSOR=I80X86\nARCHITECTURE=B8\n");
  writer.AddMember("TP.BIN", std::vector<std::uint8_t>{1, 2, 3});
  options.package = (dir / "key.qxpkg").string();
  ASSERT_TRUE(writer.Write(options.package));
  instrument.verdict = app::PT_TNORESPONSE;
  const std::string instruction =
      " and then switch on your instrument whilst pressing the F1 key\n";
  EXPECT_EQ(Run(), kExitUploadFailed);
  EXPECT_THAT(out.str(), HasSubstr("(null modem) to " + kDevice + instruction));
  EXPECT_THAT(err.str(), HasSubstr("hint: the boot monitor did not answer: check the cable, then "
                                   "switch the instrument on while pressing the F1 key\n"));
  // The GPIB bus has its own (here the default) key.
  out.str("");
  err.str("");
  options.port.clear();
  EXPECT_EQ(Run(), kExitUploadFailed);
  EXPECT_THAT(err.str(), HasSubstr("pressing the number 6\n"));
  // The package's own serial port, by the name only this program knows.
  out.str("");
  err.str("");
  options.port = "COM1";
  const std::string device = ports::IsDevicePath("COM1") ? "" : " (/dev/ttyS0)";
  EXPECT_EQ(Run(), kExitUploadFailed);
  EXPECT_THAT(out.str(), HasSubstr("(null modem) to COM1" + device + instruction));
  EXPECT_THAT(err.str(), Not(HasSubstr("--list-ports")));
  // Not chosen at all: the hint names the device and how to pick another.
  err.str("");
  package::PackageWriter plain;
  plain.AddMember("QXCONFIG.INI",
                  "[HOST]\nPORTS=GPIB,COM1\nUART=COM1\nBAUD=9600\nTRANSFER=TP.BIN,0x100,0x100\n"
                  "[TARGET]\nPROCESSOR=I80X86\nARCHITECTURE=B8\n");
  plain.AddMember("TP.BIN", std::vector<std::uint8_t>{1, 2, 3});
  ASSERT_TRUE(plain.Write(options.package)) << plain.Error();
  options.port.clear();
  EXPECT_EQ(Run(), kExitUploadFailed);
  EXPECT_THAT(err.str(),
              HasSubstr("pressing the number 5; the run used the package's port COM1" + device +
                        ": pelvane-cli --list-ports shows this computer's serial "
                        "devices, --port names one\n"));
}

// A language named in the package's code page (Windows-1252) is found by its
// name in any case, typed in UTF-8.
TEST_F(CliRunnerTest, LanguageMatchesWithoutRegardToCaseOfTheCodePage) {
  package::PackageWriter writer;
  writer.AddMember("QXCONFIG.INI",
                   "[HOST]\nPORTS=COM1\nUART=COM1\nBAUD=9600\nTRANSFER=TP.BIN,0x100,0x100\n"
                   "FIRMWARE_LANGUAGES=English,Fran\xE7"
                   "ais\n"
                   "[TARGET]\nPROCESSOR=I80X86\nARCHITECTURE=B8\nMEMORY=0x1000,0x1000,AM29F010\n"
                   "[FRAN\xC7"
                   "AIS]\nPROGRAM=0x1800,P.BIN\n");
  writer.AddMember("TP.BIN", std::vector<std::uint8_t>{1, 2, 3});
  writer.AddMember("P.BIN", std::vector<std::uint8_t>(16, 0x5A));
  options.package = (dir / "fr.qxpkg").string();
  ASSERT_TRUE(writer.Write(options.package));
  options.language =
      "fran\xC3\xA7"
      "ais";
  EXPECT_EQ(Run(), kExitOk) << err.str();
  EXPECT_NE(std::find(instrument.calls.begin(), instrument.calls.end(), "Checksum 1800 10"),
            instrument.calls.end());
}

// On a terminal the wait for the boot monitor's verdict shows the seconds
// left and leaves the line clean; JSON lines and other output stay as they are.
TEST_F(CliRunnerTest, TheWaitForTheBootMonitorIsShownOnATerminal) {
  options.transferOnly = true;
  const auto run = [&](bool errIsTerminal) {
    err.str("");
    CliRunner runner(options, {out, err, in, false, errIsTerminal}, registry);
    EXPECT_EQ(runner.Run(), kExitOk) << err.str();
  };
  run(true);
  // Shown, and taken off the line before anything else comes.
  EXPECT_THAT(err.str(), HasSubstr("\r\033[KWaiting for the boot monitor's answer (10 s "
                                   "left)\r\033[K"));
  run(false);
  EXPECT_EQ(err.str(), "");
  options.json = true;
  run(true);
  EXPECT_THAT(err.str(), Not(HasSubstr("boot monitor")));
}

// --wait-boot says how to start the boot monitor and sends nothing before
// Enter; input that ends instead cancels. It needs a terminal to ask on.
TEST_F(CliRunnerTest, WaitBootAsksForEnterBeforeAnythingIsSent) {
  options.waitBoot = true;
  EXPECT_EQ(Run(/*inTerminal=*/true, ""), kExitCancelled);
  EXPECT_EQ(instrument.created, 0);
  EXPECT_THAT(err.str(), HasSubstr("(null modem) to " + kDevice +
                                   " and then switch on your instrument whilst pressing the number "
                                   "5.\nPress Enter once the instrument is in its boot monitor "
                                   "(Ctrl-C cancels): "));
  EXPECT_EQ(Run(/*inTerminal=*/true, "\n"), kExitOk) << err.str();
  EXPECT_EQ(instrument.created, 1);
  err.str("");
  EXPECT_EQ(Run(/*inTerminal=*/false, "\n"), kExitUsage);
  EXPECT_THAT(err.str(), HasSubstr("--wait-boot asks on a terminal"));
}

TEST_F(CliRunnerTest, TransferHintsOnGpibTalkOfTheBusNotTheBaudRate) {
  options.port = "GPIB";
  instrument.verdict = app::PT_TNORESPONSE;
  EXPECT_EQ(Run(), kExitUploadFailed);
  EXPECT_THAT(err.str(), HasSubstr("GPIB cable"));
  EXPECT_THAT(err.str(), HasSubstr("GPIB address 28"));
  EXPECT_THAT(err.str(), HasSubstr("pressing the number 6"));

  err.str("");
  options.yes = true;
  instrument.verdict = app::PT_TCHECKSUMERR;
  EXPECT_EQ(Run(), kExitUploadFailed);
  EXPECT_THAT(err.str(), HasSubstr("hint: the transfer program was garbled on the bus"));
  EXPECT_THAT(err.str(), HasSubstr("PELVANE_GPIB_LIBRARY"));
  EXPECT_THAT(err.str(), Not(HasSubstr("baud")));

  // A serial line keeps its own advice.
  err.str("");
  options.port = kDevice;
  EXPECT_EQ(Run(), kExitUploadFailed);
  EXPECT_THAT(err.str(), HasSubstr("check the cable and the baud rate"));
}

TEST_F(CliRunnerTest, MaxProgLenBelowOneIsRefusedWhenThePackageLoads) {
  package::PackageWriter writer;
  writer.AddMember("QXCONFIG.INI",
                   "[HOST]\nMAXPROGLEN=0\nPORTS=COM1\nUART=COM1\nBAUD=9600\n"
                   "TRANSFER=TP.BIN,0x100,0x100\n"
                   "[TARGET]\nPROCESSOR=I80X86\nARCHITECTURE=B8\n"
                   "MEMORY=0x1000,0x1000,AM29F010\n");
  writer.AddMember("TP.BIN", std::vector<std::uint8_t>{1, 2, 3});
  options.package = (dir / "zero.qxpkg").string();
  ASSERT_TRUE(writer.Write(options.package));
  EXPECT_EQ(Run(), kExitPackage);
  EXPECT_THAT(err.str(), HasSubstr("MAXPROGLEN=0 is below 1"));
  EXPECT_EQ(instrument.created, 0);
}

// BAUD=0 loads; on a serial port the speed check refuses it before anything
// is sent (exit 4), over GPIB the package uploads.
TEST_F(CliRunnerTest, ZeroBaudRateFailsValidationOnSerialPortsOnly) {
  package::PackageWriter writer;
  writer.AddMember("QXCONFIG.INI",
                   "[HOST]\nPORTS=COM1,GPIB\nUART=COM1\nBAUD=0\nTRANSFER=TP.BIN,0x100,0x100\n"
                   "[TARGET]\nPROCESSOR=I80X86\nARCHITECTURE=B8\nMEMORY=0x1000,0x1000,AM29F010\n");
  writer.AddMember("TP.BIN", std::vector<std::uint8_t>{1, 2, 3});
  options.package = (dir / "zero-baud.qxpkg").string();
  ASSERT_TRUE(writer.Write(options.package));
  EXPECT_EQ(Run(), kExitValidation);
  // The controller's CR LF between the parts becomes ": " on one line.
  EXPECT_THAT(err.str(),
              HasSubstr("\nConfiguration failed Validation Checks: Invalid Communication Speed\n"));
  EXPECT_EQ(instrument.created, 0);
  options.port = "GPIB";
  EXPECT_EQ(Run(), kExitOk) << err.str();
}

TEST_F(CliRunnerTest, SummaryPrintsOnePiecePerLineOrOneJsonObject) {
  options.summary = true;
  options.port.clear();
  EXPECT_EQ(Run(), kExitOk);
  EXPECT_THAT(out.str(), HasSubstr("Communications Channel = COM1\nAt BAUD rate = 9600\n"));
  EXPECT_EQ(instrument.created, 0);

  out.str("");
  options.json = true;
  EXPECT_EQ(Run(), kExitOk);
  const json summary = json::parse(out.str());  // one object, nothing after it
  EXPECT_EQ(summary["comment"], "Runner test");
  EXPECT_EQ(summary["port"], "COM1");
  EXPECT_NE(std::find(summary["summary"].begin(), summary["summary"].end(), "At BAUD rate = 9600"),
            summary["summary"].end())
      << summary.dump();
}

// Package texts from Windows tools (here a Windows-1252 comment
// with quotes and a tab) never make the output invalid JSON.
TEST_F(CliRunnerTest, JsonAndReportAreValidUtf8AndRecordWhatWasRead) {
  package::PackageWriter writer;
  writer.AddMember("QXCONFIG.INI",
                   "[HOST]\nPORTS=COM1\nUART=COM1\nBAUD=9600\nTRANSFER=TP.BIN,0x100,0x100\n"
                   "[TARGET]\nPROCESSOR=I80X86\nARCHITECTURE=B8\nMEMORY=0x1000,0x1000,AM29F010\n"
                   "[FILES]\nUPLOAD=0x1000,16," +
                       download + "\n");
  writer.AddMember("TP.BIN", std::vector<std::uint8_t>{1, 2, 3});
  // ZIP tools store the comment's bytes as they are; the writer takes UTF-8
  // only, so the Windows-1252 bytes go into the file afterwards.
  writer.SetComment("GrXYe \"A\"\t");
  options.package = (dir / "latin.qxpkg").string();
  ASSERT_TRUE(writer.Write(options.package)) << writer.Error();
  {
    std::fstream file(options.package, std::ios::in | std::ios::out | std::ios::binary);
    const std::string bytes(std::istreambuf_iterator<char>(file), {});
    const std::size_t at = bytes.rfind("GrXYe");
    ASSERT_NE(at, std::string::npos);
    file.clear();
    file.seekp(static_cast<std::streamoff>(at + 2));
    file.write("\xF6\xDF", 2);
  }
  options.json = true;
  options.report = (dir / "r.json").string();
  ASSERT_EQ(Run(), kExitOk) << err.str();
  std::istringstream lines(out.str());
  for (std::string line; std::getline(lines, line);) EXPECT_TRUE(json::accept(line)) << line;
  const json record = Report();
  EXPECT_EQ(record["comment"], "Gr\u00f6\u00dfe \"A\"\t");
  EXPECT_EQ(record["tool"].get<std::string>().rfind("pelvane-cli ", 0), 0u);
  EXPECT_EQ(record["packageSha256"].get<std::string>().size(), 64u);
  EXPECT_EQ(record["outputFolder"], dir.string());
  ASSERT_EQ(record["downloads"].size(), 1u);
  EXPECT_EQ(record["downloads"][0]["file"], download);
  EXPECT_EQ(record["downloads"][0]["bytes"], 16);
  // SHA-256 of the sixteen bytes the fake instrument returns.
  EXPECT_EQ(record["downloads"][0]["sha256"].get<std::string>().size(), 64u);
  EXPECT_NE(record["downloads"][0]["sha256"], record["packageSha256"]);
}

// The report is written whatever the outcome, so a path that cannot take it,
// or that names the package, is refused before anything reaches the line.
TEST_F(CliRunnerTest, AReportPathThatCannotBeWrittenIsRefusedBeforeTheUpload) {
  const auto contents = [this] {
    std::ifstream file(options.package, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
  };
  const std::string before = contents();
  for (const std::string& path :
       {options.package, (dir / "no/such/folder/r.json").string(), (dir / ".").string()}) {
    err.str("");
    options.report = path;
    EXPECT_EQ(Run(), kExitUsage) << path;
    EXPECT_THAT(err.str(), HasSubstr(path)) << path;
  }
  EXPECT_EQ(instrument.created, 0);
  EXPECT_EQ(contents(), before);
}

// A report replaces an earlier report without a question, any other file
// only with the user's consent; a name taken by another file meanwhile is
// never replaced.
TEST_F(CliRunnerTest, AReportReplacesOnlyAnEarlierReportOrWhatTheUserAgreedTo) {
  options.report = (dir / "r.json").string();
  options.yes = true;  // for the download file of the earlier runs
  ASSERT_EQ(Run(), kExitOk) << err.str();
  ASSERT_EQ(Run(), kExitOk) << err.str();
  EXPECT_EQ(Report()["outcome"]["ok"], true);
  EXPECT_FALSE(std::filesystem::exists(options.report + ".1"));

  std::ofstream(options.report) << "my notes";
  options.yes = false;
  std::filesystem::remove(download);
  EXPECT_EQ(Run(), kExitUsage);
  EXPECT_THAT(err.str(), HasSubstr("names a file that is no report of pelvane-cli; it is kept"));
  err.str("");
  EXPECT_EQ(Run(/*inTerminal=*/true, "y\n"), kExitOk) << err.str();
  EXPECT_EQ(Report()["outcome"]["ok"], true);

  // An empty file, as touch or a run cut short leaves it, holds nothing to keep.
  std::ofstream(options.report, std::ios::trunc).close();
  std::filesystem::remove(download);
  EXPECT_EQ(Run(), kExitOk) << err.str();
  EXPECT_EQ(Report()["outcome"]["ok"], true);
}

}  // namespace
}  // namespace pelvane::cli
