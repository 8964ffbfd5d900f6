// A whole upload with `pelvane-cli --port GPIB` against `pelvane-sim
// --gpib-socket` (or `--gpib-tcp`), through the project's own GPIB driver
// library: the session runs in block mode end to end.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ports/gpib/scoped_env.h"
#include "support/child_process.h"

namespace pelvane::ports::gpib::test {
namespace {

using pelvane::test::ChildProcess;
using testing::HasSubstr;
using testing::Not;

class GpibCliEndToEnd : public testing::Test {
 protected:
  void SetUp() override {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::filesystem::temp_directory_path() /
           ("pelvane-gpib-e2e-" + std::to_string(::getpid()) + "-" + info->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    cli_.reset();
    sim_.reset();
    std::filesystem::remove_all(dir_);
  }

  // On the Unix socket dir_/bus unless `bus` names another.
  void StartSim(std::vector<std::string> extra = {}, std::vector<std::string> bus = {}) {
    if (bus.empty()) bus = {"--gpib-socket", (dir_ / "bus").string()};
    std::vector<std::string> args{"--package", PELVANE_EXAMPLE_PACKAGE, "--once"};
    args.insert(args.end(), bus.begin(), bus.end());
    args.insert(args.end(), extra.begin(), extra.end());
    sim_ = std::make_unique<ChildProcess>(PELVANE_SIM, args, dir_, "sim");
    ASSERT_TRUE(sim_->Started());
    // The first line, where the driver connects, comes once the simulator listens.
    ASSERT_TRUE(sim_->WaitForOutput("\n")) << sim_->Err();
    socket_ = std::make_unique<ScopedEnv>("PELVANE_GPIB_SOCKET",
                                          sim_->Out().substr(0, sim_->Out().find('\n')));
  }

  int RunCli() {
    cli_ = std::make_unique<ChildProcess>(
        PELVANE_CLI,
        std::vector<std::string>{"--package", PELVANE_EXAMPLE_PACKAGE, "--port", "GPIB", "--yes"},
        dir_, "cli");
    EXPECT_TRUE(cli_->Started());
    return cli_->Wait();
  }

  std::filesystem::path dir_;
  ScopedEnv driver_{"PELVANE_GPIB_LIBRARY", GPIB_SIM_DRIVER};
  std::unique_ptr<ScopedEnv> socket_;
  std::unique_ptr<ChildProcess> sim_, cli_;
};

TEST_F(GpibCliEndToEnd, WholeUploadRunsInBlockMode) {
  StartSim();
  ASSERT_EQ(RunCli(), 0) << cli_->Out() << cli_->Err();
  const std::string out = cli_->Out();
  EXPECT_THAT(out, HasSubstr("Please connect your instrument using a GPIB Cable"));
  EXPECT_THAT(out, HasSubstr("number 6"));
  EXPECT_THAT(out, HasSubstr("Transfer Program Running"));
  EXPECT_THAT(out, HasSubstr("Checksum Matches"));
  EXPECT_THAT(out, HasSubstr("The Firmware has been uploaded successfully"));
  // The instrument answered without waiting for acknowledgements and saw no
  // byte it did not expect.
  EXPECT_EQ(sim_->Wait(), 0) << sim_->Err();
  EXPECT_THAT(sim_->Err(), HasSubstr("protocol violations: 0"));
}

TEST_F(GpibCliEndToEnd, WholeUploadOverLoopbackTcp) {
  // The port the system picked, printed first as the driver's address.
  StartSim({}, {"--gpib-tcp", "0"});
  EXPECT_THAT(sim_->Out(), testing::StartsWith("tcp:127.0.0.1:"));
  ASSERT_EQ(RunCli(), 0) << cli_->Out() << cli_->Err();
  EXPECT_THAT(cli_->Out(), HasSubstr("The Firmware has been uploaded successfully"));
  EXPECT_EQ(sim_->Wait(), 0) << sim_->Err();
  EXPECT_THAT(sim_->Err(), HasSubstr("protocol violations: 0"));
}

TEST_F(GpibCliEndToEnd, BootMonitorVerdictReachesTheUser) {
  StartSim({"--boot-verdict", "C"});
  EXPECT_EQ(RunCli(), 1);
  EXPECT_THAT(cli_->Out(), HasSubstr("Transfer Program Failed, Error Code = 904"));
  EXPECT_THAT(cli_->Err(), HasSubstr("Upload failed (Checksum Error)"));
}

TEST_F(GpibCliEndToEnd, SilentBootMonitorIsAPortFailureAfterTheReadTimeout) {
  // The 3 s transfer limit, cut short by the driver.
  ScopedEnv shortTimeouts{"PELVANE_GPIB_TIMEOUT_MS", "100"};
  StartSim({"--boot-verdict", "silent"});
  EXPECT_EQ(RunCli(), 1);
  // The verdict read timed out with an error (the session's "Port Failure
  // UploadOK"), which the user sees with the port's own text, rather than the
  // serial line's "no response" after ten seconds (code 906).
  EXPECT_THAT(cli_->Out(), HasSubstr("Transfer Program Failed"));
  EXPECT_THAT(cli_->Out(), Not(HasSubstr("Error Code = 906")));
  EXPECT_THAT(cli_->Err(), HasSubstr("Port write timeout ibsta = 0xC000"));
}

TEST_F(GpibCliEndToEnd, MissingDriverLibraryFailsToOpenAndSaysWhatToCheck) {
  ScopedEnv missing{"PELVANE_GPIB_LIBRARY", (dir_ / "libgpib-missing.so.0").string()};
  EXPECT_EQ(RunCli(), 1);
  // The loader's own reason, and what to do about it.
  EXPECT_THAT(cli_->Err(), HasSubstr("libgpib-missing.so.0: cannot open shared object file"));
  EXPECT_THAT(cli_->Err(), HasSubstr("PELVANE_GPIB_LIBRARY"));
}

}  // namespace
}  // namespace pelvane::ports::gpib::test
