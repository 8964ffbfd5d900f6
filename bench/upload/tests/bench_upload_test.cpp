#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "bench_package.h"
#include "child_process.h"
#include "package/package_loader.h"
#include "upload_run.h"
#include "wire_figures.h"

namespace pelvane::bench {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "pelvane-bench-test.XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

class AnswerNo : public package::QN_Prompt {
 public:
  package::PromptAnswer Ask(const std::string&, const std::string&,
                            package::PromptButtons) override {
    return package::PromptAnswer::No;
  }
};

TEST(SimSummary, ByteCountsAndViolationsAreReadFromTheirOwnLines) {
  const std::string summary =
      "uploads: 1 (T)\n"
      "bytes garbled by line noise: 7\n"
      "bytes received: 70123, sent: 4210\n"
      "protocol violations: 2\n";
  const auto bytes = ParseSimSummaryBytes(summary);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(bytes->fromHost, 70123u);
  EXPECT_EQ(bytes->toHost, 4210u);
  EXPECT_EQ(bytes->Total(), 74333u);
  EXPECT_EQ(ParseSimSummaryViolations(summary), 2u);

  // The garbled-bytes line must not be taken for the counts, nor a cut summary.
  EXPECT_FALSE(ParseSimSummaryBytes("bytes garbled by line noise: 7\n"));
  EXPECT_FALSE(ParseSimSummaryBytes("bytes received: 12\n"));
  EXPECT_FALSE(ParseSimSummaryBytes(""));
  EXPECT_FALSE(ParseSimSummaryViolations("uploads: 1\n"));
}

TEST(WireFigures, BoundCountsElevenBitsPerByteInBothDirections) {
  // 960 bytes at 9600 baud, 8E1: 1.1 s, however they split.
  EXPECT_DOUBLE_EQ(WireBoundSeconds({900, 60}, 9600), 1.1);
  EXPECT_DOUBLE_EQ(WireBoundSeconds({0, 960}, 9600), 1.1);
  EXPECT_DOUBLE_EQ(WireBoundSeconds({960, 0}, 0), 0.0);

  RunFigures f;
  f.bytes = {10000, 473};
  f.baud = 115200;
  f.programBytes = 1048576;
  f.host = {2.0, 0.05, 9000};
  const double bound = 10473.0 * 11 / 115200;
  EXPECT_DOUBLE_EQ(f.WireBound(), bound);
  EXPECT_DOUBLE_EQ(f.Ratio(), 2.0 / bound);
  EXPECT_DOUBLE_EQ(f.HostCpuShare(), 0.025);
  EXPECT_DOUBLE_EQ(f.ProgramBytesPerSecond(), 524288.0);
  EXPECT_DOUBLE_EQ(f.HostCpuPerMiB(), 0.05);

  // Unpaced and empty runs give 0 rather than dividing by zero.
  RunFigures unpaced;
  unpaced.bytes = {100, 100};
  EXPECT_EQ(unpaced.Ratio(), 0.0);
  EXPECT_EQ(unpaced.HostCpuShare(), 0.0);
  EXPECT_EQ(unpaced.HostCpuPerMiB(), 0.0);
}

TEST(BenchPackage, ProgramDataIsRepeatableAndNeverLooksErased) {
  const auto a = BenchProgramData(4096);
  EXPECT_EQ(a, BenchProgramData(4096));
  EXPECT_EQ(BenchProgramData(100), std::vector<std::uint8_t>(a.begin(), a.begin() + 100));
  std::set<std::uint8_t> values(a.begin(), a.end());
  EXPECT_GT(values.size(), 200u);
  // No run of erased bytes long enough to let a block go by unwritten.
  int run = 0, longest = 0;
  for (auto b : a) longest = std::max(longest, run = b == 0xFF ? run + 1 : 0);
  EXPECT_LT(longest, 4);
}

TEST(BenchPackage, LoadsWithTheWizardsLoaderAsOneProgramOfTheGivenSize) {
  TempDir dir;
  ASSERT_FALSE(dir.Path().empty());
  const std::string path = dir.Path() + "/bench.qxpkg";
  std::string error;
  ASSERT_TRUE(WriteBenchPackage(path, {70000, 240, 9600}, &error)) << error;

  AnswerNo prompt;
  package::QN_PackageLoader loader;
  package::PackageConfiguration config;
  ASSERT_TRUE(loader.Load(path, prompt, config)) << loader.GetLastErrorString();
  EXPECT_EQ(config.maxProgramBlockLength, 240);
  EXPECT_EQ(config.baudRate, 9600);
  ASSERT_EQ(config.programs.size(), 1u);
  EXPECT_TRUE(config.programs[0].Validate());
  EXPECT_EQ(config.programs[0].Length(), 70000);
  EXPECT_EQ(config.programs[0].LoadAddress(), static_cast<std::int32_t>(kFlashBase));
  ASSERT_EQ(config.erases.size(), 1u);
  EXPECT_GE(config.erases[0].Length(), 70000);
  ASSERT_EQ(config.memories.size(), 1u);
}

TEST(BenchPackage, AProgramLargerThanTheFlashIsRefusedWithAReason) {
  TempDir dir;
  std::string error;
  EXPECT_FALSE(WriteBenchPackage(dir.Path() + "/big.qxpkg", {kFlashSize + 1, 240, 115200}, &error));
  EXPECT_NE(error.find("does not fit"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir.Path() + "/big.qxpkg"));
}

TEST(ChildProcess, ReportsExitStatusSignalsOutputAndUse) {
  TempDir dir;
  {
    ChildProcess child({"/bin/sh", "-c", "echo first; echo second; exit 3"}, "", "");
    EXPECT_EQ(child.ReadLine(milliseconds(10000)), "first");
    EXPECT_EQ(child.ReadLine(milliseconds(10000)), "second");
    EXPECT_EQ(child.ReadLine(milliseconds(10000)), "");  // pipe closed
    EXPECT_EQ(child.Wait(), 3);
    EXPECT_EQ(child.Wait(), 3);  // a second wait keeps the answer
    EXPECT_GT(child.Use().maxRssKiB, 0);
    EXPECT_GT(child.Use().wallSeconds, 0.0);
  }
  {
    ChildProcess child({"/bin/sleep", "30"}, dir.Path() + "/out", dir.Path() + "/err");
    child.Terminate();
    EXPECT_EQ(child.Wait(), 128 + 15);
  }
  EXPECT_THROW(ChildProcess({"/nonexistent/program"}, "", ""), std::runtime_error);
}

TEST(ChildProcess, AChildLeftRunningIsEndedWithItsOwner) {
  pid_t pid = -1;
  {
    ChildProcess child({"/bin/sleep", "30"}, "/dev/null", "");
    pid = child.Pid();
    ASSERT_GT(pid, 0);
  }
  // Reaped already: no such process any more.
  EXPECT_NE(::kill(pid, 0), 0);
}

// The whole chain once, unpaced and small: the counts come from the
// simulator and the upload goes through without a protocol violation.
TEST(UploadRun, SmallUnpacedUploadCountsTheLineBytes) {
  TempDir dir;
  const Tools tools{PELVANE_CLI_PATH, PELVANE_SIM_PATH, dir.Path()};
  const auto outcomes = RunUploadCase(tools, {"small", 2000, 0, 2});
  ASSERT_EQ(outcomes.size(), 2u);
  for (const auto& o : outcomes) {
    EXPECT_EQ(o.problem, "");
    EXPECT_EQ(o.cliStatus, 0);
    EXPECT_EQ(o.simStatus, 0);
    EXPECT_EQ(o.violations, 0u);
    // At least the transfer program, the program data and a frame per block.
    EXPECT_GT(o.figures.bytes.fromHost, 1024u + 2000u + 9u * 5u);
    EXPECT_GT(o.figures.bytes.toHost, 9u * 5u);
    EXPECT_GT(o.figures.host.cpuSeconds, 0.0);
    EXPECT_GT(o.figures.host.maxRssKiB, 0);
  }
}

}  // namespace
}  // namespace pelvane::bench
