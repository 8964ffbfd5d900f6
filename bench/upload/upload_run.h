// One benchmark case: generated package, one or more simulated instruments
// on pseudo-terminals, one pelvane-cli per instrument, all at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "wire_figures.h"

namespace pelvane::bench {

struct Tools {
  std::string cli;   // pelvane-cli
  std::string sim;   // pelvane-sim
  std::string work;  // folder for packages, logs and summaries
  // The Windows runner for the cases marked `wine`: pelvane-cli.exe started
  // by `wine`, on a COM port that Wine maps to `wineLink`, where the
  // simulator puts its pseudo-terminal (scripts/test-windows.sh prepares such
  // a Wine; its COM10 leads to <build-windows>/com-ports/com10).
  std::string windowsCli;
  std::string wine = "wine";
  std::string winePort;
  std::string wineLink;
};

struct UploadCase {
  std::string name;
  std::size_t programBytes = 0;
  long baud = 0;  // simulator pacing; 0: as fast as the pseudo-terminal goes
  int parallel = 1;
  bool trace = false;        // pelvane-cli records the run with --trace
  bool verify = false;       // pelvane-cli reads each programmed file back with --verify
  bool wine = false;         // the Windows runner under Wine, through a COM port
  bool readBack = false;     // the bytes are read back from the instrument, not programmed
  int adapterLatencyMs = 0;  // the simulator's --adapter-latency
  // Line noise (the simulator's --noise, from `seed`) and how many uploads,
  // one after the other with the seeds 1, 2, ...: the share that succeeds is
  // the figure.
  double noise = 0;
  std::uint64_t seed = 1;
  int runs = 1;
  // One runner for all the instruments (`parallel` of them): pelvane-cli's
  // station mode, which starts a runner of its own for each.
  bool station = false;
};

struct UploadOutcome {
  RunFigures figures;
  int cliStatus = -1;
  int simStatus = -1;
  std::uint64_t violations = 0;
  int resends = 0;      // commands the runner sent again
  std::string problem;  // empty when the upload went through cleanly
};

struct WineIdle {
  double seconds = 0;     // how long the link was watched
  double programCpu = 0;  // processor seconds of pelvane-cli.exe meanwhile
  double serverCpu = 0;   // and of Wine's server, which carries its system calls
};

// The Windows runner with its link open, waiting for the answer of an
// instrument that stays silent after the transfer program.
WineIdle MeasureWineIdle(const Tools& tools);

// Runs the case; one outcome per instrument, or with `runs` one per upload.
// Throws std::runtime_error when the package cannot be made or a program
// cannot start.
std::vector<UploadOutcome> RunUploadCase(const Tools& tools, const UploadCase& c);

}  // namespace pelvane::bench
