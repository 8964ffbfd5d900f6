// What a run will do and how long it will take, before anything is sent: its
// steps in the order of the run, the commands and bytes of each, and their
// time on the line (LineCost). The dry run prints it; the run measures its
// overall progress against it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "upload/line_cost.h"
#include "upload/run_operation.h"

namespace pelvane::upload {

struct EstimatedStep {
  std::string what;  // "Program MAIN.BIN (350 bytes)"
  std::int64_t commands = 0;
  LineBytes bytes;
  double seconds = 0;
};

struct RunEstimate {
  std::int32_t baud = 0;  // 0: the GPIB bus
  std::vector<EstimatedStep> steps;
  // Erasing takes the flash's own time on top, which no line figure tells.
  bool erases = false;

  double Seconds() const;
  LineBytes Bytes() const;
};

// What the run is asked to do besides the package's plan.
struct RunChoices {
  RunOperation operation = RunOperation::Update;
  bool transferOnly = false;
  bool verify = false;  // read each programmed file back (Update only)
};

}  // namespace pelvane::upload
