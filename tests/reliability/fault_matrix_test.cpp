// The fault matrix: pelvane-cli against pelvane-sim over a pseudo-terminal,
// one case per upload step and fault. Whatever the fault, the run ends by
// itself with a non-zero exit status, names the failing step, closes the
// link, and never reports success unless the simulated flash holds exactly
// the package's program data. docs/reliability.md has the table.
//
// The Windows rows run the same cells with the Windows pelvane-cli.exe under
// Wine, through a COM port that Wine maps to the simulator's pseudo-terminal
// (scripts/test-windows.sh prepares Wine and names the programs in
// PELVANE_WINDOWS_BIN and the COM ports' links in PELVANE_WINE_PORTS).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "package/package_writer.h"
#include "support/sim_package.h"
#include "support/sim_process.h"

namespace pelvane::reliability {
namespace {

using test::ChildProcess;
using test::ReadText;
using test::ScratchDir;
using test::SimProcess;
using testing::HasSubstr;
using Clock = std::chrono::steady_clock;

// A run that has not ended by then is a hang, not a slow machine: every
// fault below ends a run within the idle time-out, or within the boot
// monitor's verdict wait for the transfer program.
constexpr auto kHangLimit = std::chrono::seconds(60);
// The idle time-out given to runs whose fault leaves an answer missing.
const std::string kIdleSeconds = "1";

// SecondRunner: another runner opens the same port meanwhile; it must be
// refused, saying the port is held, and the first run must not notice.
enum class Action { None, Sigint, KillSimulator, SecondRunner };
// Fails: exit 1. Cancelled: exit 130. MayPass: the fault may be survived
// (line noise that hit nothing that matters, a recoverable answer); a run
// that passes must still leave the exact program data in flash. Passes: it
// must pass.
enum class Expect { Fails, Cancelled, MayPass, Passes };

struct Cell {
  const char* step;
  const char* fault;
  std::vector<std::string> sim;
  Action action = Action::None;
  const char* actionAt = "";  // output line after which the action comes
  bool idle = false;          // shorten the idle time-out
  Expect expect = Expect::Fails;
  const char* stepLine = "";          // the failing step's line, or what a run that passes says
  std::vector<std::string> cli = {};  // more options for the runner
};
void PrintTo(const Cell& c, std::ostream* os) {
  *os << c.step << "/" << c.fault;
}

std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t seed) {
  return test::BytePattern(n, seed, 13, 5);
}

// How a row starts the runner and names the simulator's line to it.
struct Runner {
  std::string program;             // what is started
  std::vector<std::string> front;  // its first arguments
  std::string port;                // --port
  std::string link;                // the simulator's --link, or empty
  std::string packagePrefix;       // put before the package's path
};

Runner NativeRunner() {
  return {PELVANE_CLI, {}, "", "", ""};
}

// The Windows runner under Wine, on its own COM port (one per row, so rows
// may run side by side); nothing when the Windows programs are not there.
std::optional<Runner> WineRunner(int row) {
  const char* bin = std::getenv("PELVANE_WINDOWS_BIN");
  const char* ports = std::getenv("PELVANE_WINE_PORTS");
  if (bin == nullptr || ports == nullptr) return std::nullopt;
  const int number = 10 + row;
  const char* wine = std::getenv("PELVANE_WINE");
  return Runner{wine != nullptr ? wine : "/usr/bin/wine",
                {std::string(bin) + "/pelvane-cli.exe"},
                "COM" + std::to_string(number),
                std::string(ports) + "/com" + std::to_string(number),
                // Wine's drive Z: is the Linux root.
                "Z:"};
}

class FaultMatrix : public testing::TestWithParam<Cell> {
 protected:
  void Check(const Cell& cell, const Runner& runner);

  void SetUp() override {
    // One memory; the upload's commands are then numbered: 1 query,
    // 2-5 download reads, 6-8 erase, 9-13 program (three blocks), 14 checksum,
    // 15 restart.
    main_ = Pattern(250, 3);
    calibration_ = Pattern(0x150, 9);
    const test::SimPackage package{
        "CONTINUE=NO\n",
        "ERASE=0x10000,0x1000\n",
        "[FILES]\nUPLOAD=0x1F000,0x150,calibration.bin\nPROGRAM=0x10000,MAIN.BIN\n",
        "",
        {{"MAIN.BIN", main_}}};
    ASSERT_EQ(package.Write(dir_ / "test.qxpkg"), "");
    test::WriteBytes(dir_ / "calibration.in", calibration_);
  }
  void TearDown() override {
    if (HasFailure()) dir_.Keep();
  }

  ScratchDir dir_{"pelvane-matrix", testing::UnitTest::GetInstance()->current_test_info()->name()};
  std::vector<std::uint8_t> main_, calibration_;
};

void FaultMatrix::Check(const Cell& cell, const Runner& runner) {
  std::vector<std::string> simOptions = cell.sim;
  if (!runner.link.empty()) simOptions.insert(simOptions.end(), {"--link", runner.link});
  SimProcess sim(
      PELVANE_SIM,
      {dir_ / "test.qxpkg", dir_ / "flash", "0x1F000," + (dir_ / "calibration.in").string()},
      simOptions, dir_.path());
  const std::string pty = sim.Terminal();
  ASSERT_FALSE(pty.empty()) << sim.Err();

  std::vector<std::string> args = runner.front;
  args.insert(args.end(), {"--package", runner.packagePrefix + (dir_ / "test.qxpkg").string(),
                           "--port", runner.port.empty() ? pty : runner.port});
  if (cell.idle) args.insert(args.end(), {"--idle-timeout", kIdleSeconds});
  args.insert(args.end(), cell.cli.begin(), cell.cli.end());
  const auto start = Clock::now();
  ChildProcess cli(runner.program, args, dir_.path(), "cli");
  ASSERT_TRUE(cli.Started());
  if (cell.action != Action::None) {
    ASSERT_TRUE(cli.WaitForOutput(cell.actionAt)) << cli.Out() << cli.Err();
    if (cell.action == Action::Sigint) cli.Signal(SIGINT);
    if (cell.action == Action::KillSimulator) sim.Signal(SIGKILL);
    if (cell.action == Action::SecondRunner) {
      ChildProcess second(runner.program, args, dir_.path(), "second");
      EXPECT_EQ(second.Wait(), 1) << second.Out() << second.Err();
      EXPECT_THAT(second.Err(), HasSubstr("held by another program")) << second.Err();
    }
  }
  // Waits for the end of the run, or gives up at the hang limit.
  cli.WaitForOutput("\x01 never printed", kHangLimit);
  const bool hung = Clock::now() - start >= kHangLimit;
  if (hung) cli.Signal(SIGKILL);
  const int code = cli.Wait();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  sim.Signal(SIGTERM);
  sim.Wait();
  const std::string stdout_ = cli.Out(), stderr_ = cli.Err();
  ASSERT_FALSE(hung) << "the run did not end\n" << stdout_ << stderr_;
  // In the sanitizer builds a report ends the program with status 1, which
  // must not pass for an orderly failure.
  EXPECT_THAT(stderr_, testing::Not(HasSubstr("Sanitizer")));
  EXPECT_THAT(stderr_, testing::Not(HasSubstr("runtime error:")));
  EXPECT_THAT(sim.Err(), testing::Not(HasSubstr("Sanitizer")));
  std::cout << "[ matrix ] " << cell.step << " / " << cell.fault << ": exit " << code << " after "
            << seconds << " s\n";
  RecordProperty("exit", code);
  RecordProperty("milliseconds", static_cast<int>(seconds * 1000));

  if (cell.expect == Expect::Passes) {
    EXPECT_EQ(code, 0) << stdout_ << stderr_;
  }
  if (*cell.stepLine != '\0') {
    EXPECT_THAT(stdout_, HasSubstr(cell.stepLine)) << stderr_;
  }
  if (code == 0) {
    EXPECT_TRUE(cell.expect == Expect::MayPass || cell.expect == Expect::Passes)
        << "reported success\n"
        << stdout_;
    // Success only with exactly the program data in flash, the rest of the
    // erased range blank, and the calibration area read back whole.
    const std::string flash = ReadText(dir_ / "flash" / "AM29F010_10000.bin");
    ASSERT_EQ(flash.size(), 0x10000u);
    EXPECT_TRUE(std::equal(main_.begin(), main_.end(), flash.begin(), [](std::uint8_t a, char b) {
      return a == static_cast<std::uint8_t>(b);
    }));
    // Blank up to the calibration area, which was preloaded and never erased.
    EXPECT_EQ(flash.find_first_not_of('\xFF', main_.size()), 0xF000u);
    const std::string read = ReadText(dir_ / "calibration.bin");
    EXPECT_EQ(read, std::string(calibration_.begin(), calibration_.end()));
    EXPECT_THAT(stdout_, HasSubstr("The Firmware has been uploaded successfully"));
    return;
  }
  if (cell.expect == Expect::Cancelled) {
    EXPECT_EQ(code, 130) << stdout_ << stderr_;
    // The boot monitor's verdict is awaited in one piece: a signal during
    // the transfer is acted on when that wait ends.
    if (std::string(cell.step) != "transfer") {
      EXPECT_THAT(stdout_, HasSubstr("Upload Cancel Received\n"));
    }
    EXPECT_THAT(stderr_, HasSubstr("cancelled"));
  } else {
    EXPECT_EQ(code, 1) << stdout_ << stderr_;
    EXPECT_THAT(stderr_, HasSubstr("The Firmware Upload process failed."));
  }
  EXPECT_THAT(stdout_, HasSubstr("Close Communication Channel\nShutdown Application Layer\n"
                                 "Shutdown Complete\n"));
  EXPECT_THAT(stdout_, testing::Not(HasSubstr("uploaded successfully")));
}

// Command numbers of the steps (see SetUp); K-1 for "silent after".
constexpr const char* kTransferStarts = "Transfer Program Read (XFER.BIN)\n";
constexpr const char* kQueryStarts = "Transfer Program Running\n";

std::vector<Cell> Cells() {
  const Action I = Action::Sigint, K = Action::KillSimulator;
  const Expect P = Expect::MayPass, C = Expect::Cancelled;
  std::vector<Cell> cells = {
      // No fault: the whole upload, read back and compared.
      {"whole", "verified", {}, {}, "", false, Expect::Passes, "", {"--verify"}},
      // Another runner on the same port meanwhile; paced, so that the first
      // run still holds the port when the second comes.
      {"transfer",
       "busy_port",
       {"--baud", "38400"},
       Action::SecondRunner,
       kTransferStarts,
       false,
       Expect::Passes,
       ""},
      // The transfer program: the boot monitor's verdict is the only answer.
      {"transfer", "silence", {"--boot-verdict", "silent"}, {}, "", false, {}, "Error Code = 906"},
      {"transfer", "corrupted", {"--boot-verdict", "C"}, {}, "", false, {}, "Error Code = 904"},
      {"transfer",
       "wrong_answer",
       {"--boot-verdict", "0x55"},
       {},
       "",
       false,
       {},
       "Error Code = 906"},
      {"transfer", "failure", {"--boot-verdict", "F"}, {}, "", false, {}, "Error Code = 902"},
      {"transfer",
       "vanish",
       {"--boot-verdict", "silent"},
       K,
       kTransferStarts,
       false,
       {},
       "Transfer Program Failed"},
      {"transfer",
       "sigint",
       {"--boot-verdict", "silent"},
       I,
       kTransferStarts,
       false,
       C,
       "Transfer Program Failed"},
      // Query (command 1).
      {"query",
       "silence",
       {"--silent-after", "0"},
       {},
       "",
       true,
       {},
       "QueryManufacturerCode ERROR"},
      // A damaged answer to a command that only reads or sets a state is asked
      // for again.
      {"query",
       "corrupted",
       {"--corrupt-response", "1"},
       {},
       "",
       true,
       Expect::Passes,
       "QueryManufacturerCode: answer damaged on the line, sent again (1 of 2)"},
      {"query",
       "wrong_answer",
       {"--wrong-code", "1"},
       {},
       "",
       true,
       {},
       "QueryManufacturerCode ERROR"},
      {"query",
       "noise",
       {"--noise", "0.2", "--noise-after", "0", "--seed", "3", "--ack-timeout", "500"},
       {},
       "",
       true,
       P,
       ""},
      {"query",
       "vanish",
       {"--silent-after", "0"},
       K,
       kQueryStarts,
       true,
       {},
       "QueryManufacturerCode ERROR"},
      {"query",
       "sigint",
       {"--silent-after", "0"},
       I,
       kQueryStarts,
       false,
       C,
       "QueryManufacturerCode ERROR"},
  };
  struct Step {
    const char* name;
    int k;             // the command that gets the fault
    const char* line;  // the step's failure line
    // SIGINT comes while the step's first command waits for its answer, so
    // that it cannot fall between two commands of the step.
    int sigintSilentAfter;
    const char* sigintAt;
    std::vector<std::string> failure;  // the simulator's failure status, if it has one
    Expect failureExpect;
    const char* failureLine;
    // A damaged answer to the step's command: asked for again, read back, or
    // (an erase, a restart) the end of the run.
    Expect corruptedExpect;
    const char* corruptedLine;
  };
  // clang-format off
  const std::vector<Step> steps = {
      {"download", 3, "Read ERROR", 1, "Read File = calibration.bin\n",
       {"--short-read", "2"}, P, "",
       Expect::Passes, "ReadData: answer damaged on the line, sent again (1 of 2)"},
      {"erase", 7, "FlashDelete ERROR", 6, "FlashDelete Started\n",
       {"--fail-erase", "1"}, Expect::Fails, "FlashDelete ERROR",
       Expect::Fails, "FlashDelete ERROR"},
      {"program", 11, "Prog ERROR", 9, "Program File = MAIN.BIN\nProgramming Voltage On\n",
       {"--fail-prog", "2"}, Expect::Fails, "Prog ERROR",
       Expect::Passes, "Prog: the block at H10064 reads back as sent"},
      {"checksum", 14, "Error getting Checksum", 13, "Checksum( H1",
       {"--bad-checksum", "1"}, Expect::Fails, "Checksum Error,  Target = H",
       Expect::Passes, "Checksum: answer damaged on the line, sent again (1 of 2)"},
      {"restart", 15, "Instrument Restarted", 14, "Program Flash Memories Completed\n",
       {}, P, "", Expect::Fails, "Instrument Restarted"},
  };
  // clang-format on
  for (const Step& s : steps) {
    const std::string k = std::to_string(s.k), before = std::to_string(s.k - 1);
    // An answer that names another command is never taken as the reply to
    // the command in flight: every step fails on it.
    cells.push_back({s.name, "silence", {"--silent-after", before}, {}, "", true, {}, s.line});
    cells.push_back({s.name,
                     "corrupted",
                     {"--corrupt-response", k},
                     {},
                     "",
                     true,
                     s.corruptedExpect,
                     s.corruptedLine});
    cells.push_back(
        {s.name, "wrong_answer", {"--wrong-code", k}, {}, "", true, Expect::Fails, s.line});
    cells.push_back(
        {s.name,
         "noise",
         {"--noise", "0.2", "--noise-after", before, "--seed", "3", "--ack-timeout", "500"},
         {},
         "",
         true,
         P,
         ""});
    if (!s.failure.empty())
      cells.push_back(
          {s.name, "failure", s.failure, {}, "", false, s.failureExpect, s.failureLine});
    cells.push_back({s.name, "vanish", {"--vanish-after", before}, {}, "", true, {}, s.line});
    // Gone while the step's command waits for its answer: told at once, not
    // after the no-response time (the idle time-out stays long).
    cells.push_back({s.name, "vanish_awaited", {"--vanish-at", k}, {}, "", false, {}, s.line});
    cells.push_back({s.name,
                     "sigint",
                     {"--silent-after", std::to_string(s.sigintSilentAfter)},
                     I,
                     s.sigintAt,
                     false,
                     C,
                     s.line});
  }
  // The programming voltage's answers, damaged: switched again.
  cells.push_back({"erase",
                   "voltage_on_corrupted",
                   {"--corrupt-response", "6"},
                   {},
                   "",
                   true,
                   Expect::Passes,
                   "ProgPowerOn: answer damaged on the line, sent again (1 of 2)"});
  cells.push_back({"erase",
                   "voltage_off_corrupted",
                   {"--corrupt-response", "8"},
                   {},
                   "",
                   true,
                   Expect::Passes,
                   "ProgPowerOff: answer damaged on the line, sent again (1 of 2)"});
  // Another read's data in an answer, and a stored block whose 8-bit sum
  // still matches: only checking the answer and reading back catch them.
  cells.push_back(
      {"download", "long_answer", {"--long-read", "1"}, {}, "", false, {}, "Read ERROR"});
  cells.push_back({"program",
                   "silent_corruption",
                   {"--corrupt-stored", "2"},
                   {},
                   "",
                   false,
                   {},
                   "Verify ERROR at H10064",
                   {"--verify"}});
  return cells;
}

std::string CellName(const testing::TestParamInfo<Cell>& cell) {
  return std::string(cell.param.step) + "_" + cell.param.fault;
}

TEST_P(FaultMatrix, RunEndsNamesTheStepAndNeverPassesWithWrongFlash) {
  Check(GetParam(), NativeRunner());
}

INSTANTIATE_TEST_SUITE_P(Cells, FaultMatrix, testing::ValuesIn(Cells()), CellName);

// The Windows runner through a COM port: a whole upload with --verify, each
// kind of instrument fault, a vanished device and a cancel. Not the busy
// port: Wine opens a COM port twice where Windows refuses the second open
// (the serial line's own tests show that refusal through its system layer).
std::vector<Cell> WindowsCells() {
  const std::vector<std::string> names = {
      "whole_verified",   "transfer_silence", "query_corrupted",
      "erase_failure",    "program_failure",  "program_vanish",
      "checksum_failure", "program_sigint",   "program_silent_corruption",
  };
  std::vector<Cell> cells;
  for (const Cell& cell : Cells())
    if (std::find(names.begin(), names.end(), std::string(cell.step) + "_" + cell.fault) !=
        names.end())
      cells.push_back(cell);
  return cells;
}

class WindowsFaultMatrix : public FaultMatrix {};

TEST_P(WindowsFaultMatrix, RunEndsNamesTheStepAndNeverPassesWithWrongFlash) {
  const std::vector<Cell> cells = WindowsCells();
  const auto row = std::find_if(cells.begin(), cells.end(), [&](const Cell& cell) {
    return std::string(cell.step) == GetParam().step && std::string(cell.fault) == GetParam().fault;
  });
  const std::optional<Runner> runner = WineRunner(static_cast<int>(row - cells.begin()));
  if (!runner) GTEST_SKIP() << "no Windows programs named (scripts/test-windows.sh runs these)";
  Check(GetParam(), *runner);
}

INSTANTIATE_TEST_SUITE_P(Windows, WindowsFaultMatrix, testing::ValuesIn(WindowsCells()), CellName);

}  // namespace
}  // namespace pelvane::reliability
