// pelvane-bench: full uploads of generated packages against the simulated
// instrument, timed against the wire time of the bytes that crossed.
//
//   pelvane-bench [--full] [--case NAME]... [--bin DIR] [--work DIR] [--list]
//
// Default cases: the paced ones except 1 MiB at 9600 baud (about 20 minutes
// of wire time; --full adds it), the unpaced pseudo-terminal runs and the
// parallel runs of 4 and 8 instruments. --full also adds the 64 KiB
// read-backs through slow adapters and the uploads on a noisy line.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "child_process.h"
#include "upload_run.h"

namespace fs = std::filesystem;
using namespace pelvane::bench;

namespace {

constexpr std::size_t k64K = 64 * 1024;
constexpr std::size_t k1M = 1024 * 1024;

struct CaseRow {
  UploadCase c;
  bool inDefault;
};

UploadCase ReadBack(const char* name, int latencyMs) {
  UploadCase c{name, k64K, 115200, 1};
  c.readBack = true;
  c.adapterLatencyMs = latencyMs;
  return c;
}

constexpr int kNoisyRuns = 20;

UploadCase Noisy(const char* name, double rate) {
  UploadCase c{name, k64K, 115200, 1};
  c.noise = rate;
  c.runs = kNoisyRuns;
  return c;
}

// The uploads of one noise rate: how many got through, and how long they took.
void PrintNoisyRow(const UploadCase& c, const std::vector<UploadOutcome>& outcomes) {
  std::vector<double> walls;
  int resends = 0;
  for (const auto& o : outcomes) {
    if (!o.problem.empty()) continue;
    walls.push_back(o.figures.host.wallSeconds);
    resends += o.resends;
  }
  std::sort(walls.begin(), walls.end());
  std::printf("%-20s %5.2f %% of the answer bytes damaged: %zu of %zu uploads succeeded",
              c.name.c_str(), 100.0 * c.noise, walls.size(), outcomes.size());
  if (!walls.empty())
    std::printf("; wall s median %.3f, min %.3f, max %.3f; %.1f resends per upload",
                walls[walls.size() / 2], walls.front(), walls.back(),
                static_cast<double>(resends) / static_cast<double>(walls.size()));
  std::printf("\n");
  for (const auto& o : outcomes)
    if (!o.problem.empty()) std::printf("%-20s   failed: %s\n", "", o.problem.c_str());
}

std::vector<CaseRow> AllCases() {
  return {
      {{"paced-64k-115200", k64K, 115200, 1}, true},
      {{"paced-64k-9600", k64K, 9600, 1}, true},
      {{"paced-1m-115200", k1M, 115200, 1}, true},
      {{"paced-1m-9600", k1M, 9600, 1}, false},
      {{"pty-64k", k64K, 0, 1}, true},
      {{"pty-1m", k1M, 0, 1}, true},
      // What --trace costs: the same runs, every byte on the line recorded.
      {{"paced-64k-115200-trace", k64K, 115200, 1, true}, true},
      {{"pty-1m-trace", k1M, 0, 1, true}, true},
      // What --verify adds: the program read back and compared.
      {{"paced-64k-115200-verify", k64K, 115200, 1, false, true}, true},
      {{"parallel-4", k64K, 115200, 4}, true},
      {{"parallel-8", k64K, 115200, 8}, true},
      // One pelvane-cli for the whole rack: its station mode.
      {{"station-8", k64K, 115200, 8, false, false, false, true}, true},
      {{"station-16", k64K, 115200, 16, false, false, false, true}, true},
      // The Windows runner under Wine beside the native one (--windows).
      {{"paced-64k-115200-wine", k64K, 115200, 1, false, false, true}, false},
      // A 64 KiB read-back through a USB adapter whose latency timer holds
      // each answer byte: none, 1 ms, FTDI's default 16 ms (about 18 minutes).
      {ReadBack("readback-64k-latency-0", 0), false},
      {ReadBack("readback-64k-latency-1", 1), false},
      {ReadBack("readback-64k-latency-16", 16), false},
      // 64 KiB uploads on a noisy line: the share that succeeds, and its time.
      {Noisy("noise-64k-0", 0), false},
      {Noisy("noise-64k-0.05pct", 0.0005), false},
      {Noisy("noise-64k-0.2pct", 0.002), false},
  };
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

void PrintPacedHeader() {
  std::printf("%-20s %8s %6s %9s %9s %9s %9s %7s %7s %8s %7s\n", "case", "program", "baud",
              "to inst", "to host", "bound s", "wall s", "ratio", "CPU %", "RSS KiB", "sim CPU");
}

void PrintPacedRow(const std::string& name, const UploadOutcome& o) {
  const RunFigures& f = o.figures;
  std::printf("%-20s %8llu %6ld %9llu %9llu %9.3f %9.3f %7.4f %7.3f %8ld %6.2f%%%s%s\n",
              name.c_str(), static_cast<unsigned long long>(f.programBytes), f.baud,
              static_cast<unsigned long long>(f.bytes.fromHost),
              static_cast<unsigned long long>(f.bytes.toHost), f.WireBound(), f.host.wallSeconds,
              f.Ratio(), 100.0 * f.HostCpuShare(), f.host.maxRssKiB,
              f.instrument.wallSeconds > 0
                  ? 100.0 * f.instrument.cpuSeconds / f.instrument.wallSeconds
                  : 0.0,
              o.problem.empty() ? "" : "  FAILED: ", o.problem.c_str());
}

void PrintUnpacedRow(const std::string& name, const UploadOutcome& o) {
  const RunFigures& f = o.figures;
  std::printf(
      "%-20s %8llu bytes, %9llu on the line, wall %7.3f s: %9.0f program bytes/s, host CPU "
      "%.3f s per MiB (%.1f %% of wall), RSS %ld KiB%s%s\n",
      name.c_str(), static_cast<unsigned long long>(f.programBytes),
      static_cast<unsigned long long>(f.bytes.Total()), f.host.wallSeconds,
      f.ProgramBytesPerSecond(), f.HostCpuPerMiB(), 100.0 * f.HostCpuShare(), f.host.maxRssKiB,
      o.problem.empty() ? "" : "  FAILED: ", o.problem.c_str());
}

int Usage(int code) {
  std::fprintf(
      code == 0 ? stdout : stderr,
      "Usage: pelvane-bench [--full] [--case NAME]... [--bin DIR] [--work DIR] [--list]\n"
      "  --full      all cases, with 1 MiB at 9600 baud (about 20 minutes), read-backs\n"
      "              through slow adapters (about 20 minutes) and noisy lines (5 minutes)\n"
      "  --case NAME only this case (repeatable; --list names them)\n"
      "  --bin DIR   where pelvane-cli and pelvane-sim are (default: beside this program)\n"
      "  --work DIR  folder for packages, logs and summaries (default: a new temporary one)\n"
      "  --windows DIR,COMn,LINK\n"
      "              also run the Windows runner DIR/pelvane-cli.exe under Wine on COMn, which\n"
      "              Wine maps to LINK (scripts/test-windows.sh prepares such a Wine)\n");
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  // Rows appear as each case ends, also when the output goes to a file.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  bool full = false;
  std::vector<std::string> chosen;
  std::string bin = fs::canonical("/proc/self/exe").parent_path().string();
  std::string work;
  std::vector<std::string> windows;  // folder, port, link
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n", a.c_str());
        std::exit(Usage(2));
      }
      return argv[++i];
    };
    if (a == "--full") {
      full = true;
    } else if (a == "--case") {
      chosen.push_back(value());
    } else if (a == "--bin") {
      bin = value();
    } else if (a == "--work") {
      work = value();
    } else if (a == "--windows") {
      const std::string v = value();
      const auto first = v.find(','), second = v.find(',', first + 1);
      if (second == std::string::npos) return Usage(2);
      windows = {v.substr(0, first), v.substr(first + 1, second - first - 1), v.substr(second + 1)};
    } else if (a == "--list") {
      for (const auto& row : AllCases())
        std::printf("%s%s\n", row.c.name.c_str(), row.inDefault ? "" : "  (--full)");
      return 0;
    } else if (a == "--help" || a == "-h") {
      return Usage(0);
    } else {
      std::fprintf(stderr, "unknown option %s\n", a.c_str());
      return Usage(2);
    }
  }

  std::vector<UploadCase> cases;
  for (const auto& row : AllCases()) {
    const bool named = std::find(chosen.begin(), chosen.end(), row.c.name) != chosen.end();
    const bool windowsCase = row.c.wine && !windows.empty();
    if (chosen.empty() ? (full || row.inDefault || windowsCase) : named) cases.push_back(row.c);
  }
  for (const auto& name : chosen) {
    const auto all = AllCases();
    if (std::none_of(all.begin(), all.end(), [&](const CaseRow& r) { return r.c.name == name; })) {
      std::fprintf(stderr, "no case named %s (see --list)\n", name.c_str());
      return 2;
    }
  }

  if (work.empty()) {
    std::string pattern = (fs::temp_directory_path() / "pelvane-bench.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      return 3;
    }
    work = pattern;
  }
  fs::create_directories(work);
  Tools tools{bin + "/pelvane-cli", bin + "/pelvane-sim", work};
  if (!windows.empty()) {
    tools.windowsCli = windows[0] + "/pelvane-cli.exe";
    // The runner is started by path, so `wine` is looked up here.
    if (const char* path = std::getenv("PATH")) {
      std::istringstream folders(path);
      for (std::string folder; std::getline(folders, folder, ':');)
        if (::access((folder + "/wine").c_str(), X_OK) == 0) {
          tools.wine = folder + "/wine";
          break;
        }
    }
    tools.winePort = windows[1];
    tools.wineLink = windows[2];
  }
  for (const auto& tool : {tools.cli, tools.sim}) {
    if (::access(tool.c_str(), X_OK) != 0) {
      std::fprintf(stderr, "cannot run %s (give --bin DIR)\n", tool.c_str());
      return 3;
    }
  }

  std::printf("pelvane-bench: work folder %s; load average %s; %ld processors online\n",
              work.c_str(), LoadAverage().c_str(), ::sysconf(_SC_NPROCESSORS_ONLN));
  std::printf(
      "Wire bound: 11 bits per byte (8E1) of every byte counted by the simulator, both "
      "directions.\nCPU %%: host (pelvane-cli) processor time over its wall time; sim CPU: the "
      "simulator's.\n\n");

  // What every run pays before and after the line: loading the program and
  // its component libraries, and ending it.
  std::vector<double> startWalls;
  for (int i = 0; i < 5; ++i) {
    ChildProcess help({tools.cli, "--help"}, "/dev/null", "");
    help.Wait();
    startWalls.push_back(help.Use().wallSeconds);
  }
  std::sort(startWalls.begin(), startWalls.end());
  std::printf("pelvane-cli --help (start and end of the process, no upload): median %.1f ms\n\n",
              startWalls[2] * 1e3);

  if (!windows.empty()) {
    const WineIdle idle = MeasureWineIdle(tools);
    std::printf(
        "pelvane-cli.exe under Wine, link open and waiting for a silent instrument for %.1f s: "
        "%.3f %% of one core (the program), %.3f %% (Wine's server)\n\n",
        idle.seconds, 100.0 * idle.programCpu / idle.seconds,
        100.0 * idle.serverCpu / idle.seconds);
  }

  int failures = 0;
  std::map<long, double> singleRatio;  // baud -> ratio of the 64 KiB single upload
  std::map<long, double> singleWall;   // baud -> wall time of the 64 KiB single upload
  bool pacedHeader = false;
  for (const auto& c : cases) {
    std::vector<UploadOutcome> outcomes;
    try {
      outcomes = RunUploadCase(tools, c);
    } catch (const std::exception& e) {
      std::printf("%-20s FAILED: %s\n", c.name.c_str(), e.what());
      ++failures;
      continue;
    }
    if (c.runs > 1) {
      // Failed uploads are the figure here, not a fault of the benchmark.
      PrintNoisyRow(c, outcomes);
      continue;
    }
    for (const auto& o : outcomes)
      if (!o.problem.empty()) ++failures;
    if (c.baud == 0) {
      PrintUnpacedRow(c.name, outcomes.front());
      pacedHeader = false;
      continue;
    }
    if (!pacedHeader) {
      PrintPacedHeader();
      pacedHeader = true;
    }
    if (c.parallel == 1) {
      PrintPacedRow(c.name, outcomes.front());
      if (c.programBytes == k64K && !c.trace && !c.verify && !c.wine) {
        singleRatio[c.baud] = outcomes.front().figures.Ratio();
        singleWall[c.baud] = outcomes.front().figures.host.wallSeconds;
      }
      continue;
    }
    if (c.station) {
      // One runner: its wall time is the rack's, its processor time that of
      // the station and every runner it started.
      const RunFigures& f = outcomes.front().figures;
      double simCpu = 0;
      for (const auto& o : outcomes) simCpu += o.figures.instrument.cpuSeconds;
      std::printf("%-20s %d instruments: wall %.3f s", c.name.c_str(), c.parallel,
                  f.host.wallSeconds);
      if (const auto single = singleWall.find(c.baud); single != singleWall.end())
        std::printf(" = %.4f x the single upload's %.3f s", f.host.wallSeconds / single->second,
                    single->second);
      std::printf(
          "; station and runners CPU %.3f s (%.2f %% of one core), RSS %ld KiB (the "
          "largest process), simulators %.3f s%s%s\n",
          f.host.cpuSeconds, 100.0 * f.HostCpuShare(), f.host.maxRssKiB, simCpu,
          outcomes.front().problem.empty() ? "" : "  FAILED: ", outcomes.front().problem.c_str());
      continue;
    }
    double hostCpu = 0, simCpu = 0, worst = 0, wall = 0;
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
      PrintPacedRow(c.name + "/" + std::to_string(i + 1), outcomes[i]);
      hostCpu += outcomes[i].figures.host.cpuSeconds;
      simCpu += outcomes[i].figures.instrument.cpuSeconds;
      worst = std::max(worst, outcomes[i].figures.Ratio());
      wall = std::max(wall, outcomes[i].figures.host.wallSeconds);
    }
    std::printf("%-20s worst ratio %.4f", c.name.c_str(), worst);
    if (const auto single = singleRatio.find(c.baud); single != singleRatio.end())
      std::printf(" = %.4f x the single upload's %.4f", worst / single->second, single->second);
    std::printf("; host CPU %.3f s in all (%.2f %% of one core over %.2f s), simulators %.3f s\n",
                hostCpu, 100.0 * hostCpu / wall, wall, simCpu);
  }
  std::printf("\nload average at the end: %s\n", LoadAverage().c_str());
  return failures == 0 ? 0 : 1;
}
