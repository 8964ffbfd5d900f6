// The whole simulator on a real pseudo-terminal, run on a thread.
#include "sim/simulator.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>
#include <utility>

#include "sim/raw_host.h"

namespace pelvane::sim {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::RawHost;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "pelvane-sim-test-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

int OpenRaw(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
  if (fd >= 0) {
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
  }
  return fd;
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The simulator serving on a thread of its own, as the program runs it,
// until Stop; the destructor stops it too, so a failed assertion does not
// leave the thread running.
class SimulatorThread {
 public:
  explicit SimulatorThread(SimOptions options)
      : options_(std::move(options)), thread_([this] {
          rc_ = RunSimulator(
              options_, stop_, [this](const std::string& p) { ready_.set_value(p); }, log_);
        }) {}
  ~SimulatorThread() { Stop(); }
  SimulatorThread(const SimulatorThread&) = delete;
  SimulatorThread& operator=(const SimulatorThread&) = delete;

  // The pseudo-terminal the simulator serves; waits until it listens. Once.
  std::string Path() { return ready_.get_future().get(); }
  // The exit status.
  int Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return rc_;
  }
  // What it logged; read after Stop.
  std::string Log() const { return log_.str(); }

 private:
  const SimOptions options_;
  std::atomic<bool> stop_{false};
  std::promise<std::string> ready_;
  std::ostringstream log_;
  int rc_ = -1;
  std::thread thread_;  // last: starts once everything above exists
};

TEST(SimulatorTest, ServesHostsOnItsPseudoTerminalAndWritesItsOutputs) {
  TempDir dir;
  SimOptions o;
  o.memories.push_back({0x10000, 0x200, "AM29F010", std::nullopt, std::nullopt});
  o.link = (dir / "instrument").string();
  o.dump_dir = (dir / "dump").string();
  o.transcript = (dir / "transcript.txt").string();
  o.summary = (dir / "summary.txt").string();
  o.instrument.ack_timeout = std::chrono::milliseconds(500);

  SimulatorThread sim(o);
  const std::string path = sim.Path();
  EXPECT_EQ(fs::read_symlink(o.link).string(), path);

  // First host: uploads the transfer program, then goes away.
  int fd = OpenRaw(o.link);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(RawHost(fd).Upload({0x01, 0x02}), 'T');
  close(fd);
  // A host that opens the line again finds the transfer program still running.
  fd = OpenRaw(path);
  ASSERT_GE(fd, 0);
  RawHost host(fd);
  EXPECT_EQ(host.Command({0x22}), (Bytes{0xA2, 0x44, 0x00}));
  EXPECT_EQ(host.Command(test::Prog(0x10100, {0x5A}, 0x15)).at(1), 0x42);
  EXPECT_EQ(host.Command(test::QueryManufacturer(0x10000, 0x15)),
            (Bytes{0xA1, 0x01, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00}));
  close(fd);

  const int rc = sim.Stop();
  EXPECT_EQ(rc, kExitOk) << sim.Log();
  EXPECT_FALSE(fs::exists(fs::symlink_status(o.link)));
  const fs::path dump = dir / "dump" / "AM29F010_10000.bin";
  ASSERT_TRUE(fs::exists(dump));
  const std::string contents = ReadText(dump);
  ASSERT_EQ(contents.size(), 0x200u);
  EXPECT_EQ(static_cast<std::uint8_t>(contents[0x100]), 0x5A);
  EXPECT_EQ(static_cast<std::uint8_t>(contents[0]), 0xFF);
  EXPECT_NE(ReadText(o.summary).find("protocol violations: 0"), std::string::npos);
  EXPECT_NE(ReadText(o.summary).find("TPROGDATEN: 1"), std::string::npos);
  EXPECT_NE(ReadText(o.transcript).find(" RX 02 00 00 00"), std::string::npos);
}

TEST(SimulatorTest, ViolationsShowInTheExitStatus) {
  SimOptions o;
  o.memories.push_back({0, 0x100, "AM29F010", std::nullopt, std::nullopt});
  o.quiet = true;
  SimulatorThread sim(o);
  const int fd = OpenRaw(sim.Path());
  ASSERT_GE(fd, 0);
  RawHost host(fd);
  EXPECT_EQ(host.Upload({0x01}), 'T');
  host.Write({0x00});  // a frame cannot be empty
  EXPECT_EQ(host.Command({0x23}).at(0), 0xA3);
  close(fd);
  EXPECT_EQ(sim.Stop(), kExitViolations);
  EXPECT_NE(sim.Log().find("frame with length 0"), std::string::npos);
}

TEST(SimulatorTest, SetupFailuresEndBeforeListening) {
  SimOptions o;
  o.package = "/nonexistent/none.qxpkg";
  std::atomic<bool> stop{false};
  std::ostringstream log;
  bool ready = false;
  EXPECT_EQ(RunSimulator(
                o, stop, [&](const std::string&) { ready = true; }, log),
            kExitSetup);
  EXPECT_FALSE(ready);
  EXPECT_NE(log.str().find("none.qxpkg"), std::string::npos);

  o.package.clear();
  o.memories.push_back({0, 0x100, "A", std::nullopt, std::nullopt});
  o.memories.push_back({0x80, 0x100, "B", std::nullopt, std::nullopt});
  EXPECT_EQ(RunSimulator(o, stop, {}, log), kExitSetup);
  EXPECT_NE(log.str().find("overlaps"), std::string::npos);
}

}  // namespace
}  // namespace pelvane::sim
