// One benchmark case: generated package, one or more simulated instruments
// on pseudo-terminals, one pelvane-cli per instrument, all at once.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "wire_figures.h"

namespace pelvane::bench {

struct Tools {
  std::string cli;   // pelvane-cli
  std::string sim;   // pelvane-sim
  std::string work;  // folder for packages, logs and summaries
};

struct UploadCase {
  std::string name;
  std::size_t programBytes = 0;
  long baud = 0;  // simulator pacing; 0: as fast as the pseudo-terminal goes
  int parallel = 1;
  bool trace = false;   // pelvane-cli records the run with --trace
  bool verify = false;  // pelvane-cli reads each programmed file back with --verify
};

struct UploadOutcome {
  RunFigures figures;
  int cliStatus = -1;
  int simStatus = -1;
  std::uint64_t violations = 0;
  std::string problem;  // empty when the upload went through cleanly
};

// Runs the case; one outcome per instrument. Throws std::runtime_error when
// the package cannot be made or a program cannot start.
std::vector<UploadOutcome> RunUploadCase(const Tools& tools, const UploadCase& c);

}  // namespace pelvane::bench
