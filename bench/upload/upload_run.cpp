#include "upload_run.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "bench_package.h"
#include "child_process.h"

namespace pelvane::bench {

namespace {

constexpr int kMaxProgLen = 240;
// Generous against a loaded machine; only a broken run waits this long.
constexpr auto kSimStart = std::chrono::seconds(20);
constexpr int kIdleTimeoutSeconds = 60;
constexpr std::size_t k64KiB = 64 * 1024;

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Processor seconds a process has used so far (user and system), from
// /proc; 0 when it is gone.
double ProcessCpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return 0;
  // The fields after the command name, which may hold blanks, in brackets.
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) {
      stime = std::stoull(field);
      break;
    }
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

pid_t FindProcess(const std::string& command) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream comm(entry.path() / "comm");
    std::string name;
    if (std::getline(comm, name) && name == command)
      return static_cast<pid_t>(std::stol(entry.path().filename().string()));
  }
  return -1;
}

}  // namespace

WineIdle MeasureWineIdle(const Tools& tools) {
  // Wine's first program of a session starts its services, and COM ports
  // appear only once they run.
  ChildProcess({tools.wine, "cmd", "/c", "exit", "0"}, "/dev/null", "/dev/null").Wait();
  const std::string package = tools.work + "/bench-idle.qxpkg";
  std::string error;
  if (!WriteBenchPackage(package, {k64KiB, kMaxProgLen, 115200}, &error))
    throw std::runtime_error("cannot write " + package + ": " + error);
  const std::string prefix = tools.work + "/wine-idle";
  ChildProcess sim(
      {tools.sim, "--package", package, "--quiet", "--silent-after", "0", "--link", tools.wineLink},
      "", prefix + ".sim-log");
  if (sim.ReadLine(kSimStart).empty())
    throw std::runtime_error("the simulator did not start; see " + prefix + ".sim-log");
  ChildProcess cli({tools.wine, tools.windowsCli, "--package", "Z:" + package, "--port",
                    tools.winePort, "--idle-timeout", "30"},
                   prefix + ".cli-log", prefix + ".cli-errors");
  // Watched once the transfer program runs and the first command awaits its answer.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (ReadText(prefix + ".cli-log").find("Transfer Program Running") == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline)
      throw std::runtime_error("the Windows runner did not get its transfer program running");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const pid_t server = FindProcess("wineserver");
  WineIdle idle;
  const double program0 = ProcessCpuSeconds(cli.Pid()), server0 = ProcessCpuSeconds(server);
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(10));
  idle.programCpu = ProcessCpuSeconds(cli.Pid()) - program0;
  idle.serverCpu = server > 0 ? ProcessCpuSeconds(server) - server0 : 0;
  idle.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  cli.Terminate();
  cli.Wait();
  sim.Terminate();
  sim.Wait();
  return idle;
}

std::vector<UploadOutcome> RunUploadCase(const Tools& tools, const UploadCase& c) {
  if (c.runs > 1) {
    std::vector<UploadOutcome> outcomes;
    for (int seed = 1; seed <= c.runs; ++seed) {
      UploadCase one = c;
      one.runs = 1;
      one.seed = static_cast<std::uint64_t>(seed);
      one.name = c.name + "-" + std::to_string(seed);
      const auto outcome = RunUploadCase(tools, one);
      outcomes.insert(outcomes.end(), outcome.begin(), outcome.end());
    }
    return outcomes;
  }
  const long packageBaud = c.baud > 0 ? c.baud : 115200;
  const std::string package = tools.work + "/bench-" + std::to_string(c.programBytes) + "-" +
                              std::to_string(packageBaud) + (c.readBack ? "-read" : "") + ".qxpkg";
  std::string error;
  if (!WriteBenchPackage(package, {c.programBytes, kMaxProgLen, packageBaud, c.readBack}, &error))
    throw std::runtime_error("cannot write " + package + ": " + error);

  const int n = std::max(1, c.parallel);
  std::vector<std::unique_ptr<ChildProcess>> sims;
  std::vector<std::string> ptys, summaries, prefixes;
  for (int i = 0; i < n; ++i) {
    std::string prefix = tools.work + "/" + c.name;
    if (n > 1) prefix.append(1, '-').append(std::to_string(i + 1));
    prefixes.push_back(prefix);
    summaries.push_back(prefix + ".sim-summary");
    std::vector<std::string> args{tools.sim, "--package", package,         "--once",
                                  "--quiet", "--summary", summaries.back()};
    if (c.baud > 0) {
      args.push_back("--baud");
      args.push_back(std::to_string(c.baud));
    }
    if (c.wine) args.insert(args.end(), {"--link", tools.wineLink});
    if (c.adapterLatencyMs > 0)
      args.insert(args.end(), {"--adapter-latency", std::to_string(c.adapterLatencyMs)});
    if (c.noise > 0)
      args.insert(args.end(),
                  {"--noise", std::to_string(c.noise), "--seed", std::to_string(c.seed)});
    sims.push_back(std::make_unique<ChildProcess>(args, "", prefix + ".sim-log"));
    ptys.push_back(sims.back()->ReadLine(kSimStart));
    if (ptys.back().empty())
      throw std::runtime_error("the simulator did not start; see " + prefix + ".sim-log");
  }

  // All runners start together, so the parallel uploads overlap whole. A
  // station is one runner for them all; wait4 then gives its processor time
  // with that of the runners it started and waited for.
  std::vector<std::unique_ptr<ChildProcess>> clis;
  if (c.station) {
    std::vector<std::string> args{tools.cli,        "--package",
                                  package,          "--yes",
                                  "--idle-timeout", std::to_string(kIdleTimeoutSeconds),
                                  "--output-dir",   tools.work + "/" + c.name + "/{port}"};
    for (const std::string& pty : ptys) args.insert(args.end(), {"--port", pty});
    clis.push_back(std::make_unique<ChildProcess>(args, prefixes[0] + ".cli-log",
                                                  prefixes[0] + ".cli-errors"));
  }
  for (int i = 0; i < n && !c.station; ++i) {
    std::vector<std::string> args{tools.cli, "--package", package, "--port", ptys[i]};
    // Wine's drive Z: is the Linux root.
    if (c.wine)
      args = {tools.wine, tools.windowsCli, "--package", "Z:" + package, "--port", tools.winePort};
    args.insert(args.end(), {"--yes", "--idle-timeout", std::to_string(kIdleTimeoutSeconds)});
    if (c.trace) {
      args.push_back("--trace");
      args.push_back(prefixes[i] + ".trace");
    }
    if (c.verify) args.push_back("--verify");
    if (c.readBack) args.insert(args.end(), {"--output-dir", tools.work});
    clis.push_back(std::make_unique<ChildProcess>(args, prefixes[i] + ".cli-log",
                                                  prefixes[i] + ".cli-errors"));
  }

  // The runner of instrument i.
  const auto cli = [&](int i) -> ChildProcess& { return *clis[c.station ? 0 : i]; };
  std::vector<UploadOutcome> outcomes(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    auto& o = outcomes[static_cast<std::size_t>(i)];
    o.cliStatus = cli(i).Wait();
    // With --once the instrument ends by itself after the end of programming;
    // after a failed upload nothing will end it.
    if (o.cliStatus != 0) sims[i]->Terminate();
  }
  for (int i = 0; i < n; ++i) {
    auto& o = outcomes[static_cast<std::size_t>(i)];
    o.simStatus = sims[i]->Wait();
    o.figures.baud = c.baud;
    o.figures.programBytes = c.programBytes;
    o.figures.host = cli(i).Use();
    o.figures.instrument = sims[i]->Use();
    const std::string summary = ReadText(summaries[i]);
    if (const auto bytes = ParseSimSummaryBytes(summary))
      o.figures.bytes = *bytes;
    else
      o.problem = "no byte counts in " + summaries[i];
    o.violations = ParseSimSummaryViolations(summary).value_or(0);
    const std::string said = ReadText(prefixes[i] + ".cli-log");
    for (auto at = said.find(", sent again ("); at != std::string::npos;
         at = said.find(", sent again (", at + 1))
      ++o.resends;
    if (o.cliStatus != 0)
      o.problem = "pelvane-cli exit status " + std::to_string(o.cliStatus) + "; see " +
                  prefixes[c.station ? 0 : i] + ".cli-errors";
    else if (o.simStatus != 0)
      o.problem = "pelvane-sim exit status " + std::to_string(o.simStatus) + " (" +
                  std::to_string(o.violations) + " protocol violations); see " + summaries[i];
  }
  return outcomes;
}

}  // namespace pelvane::bench
