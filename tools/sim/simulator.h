// The whole simulator as a function: sets up the memories and the line from
// the options, runs the instrument until it is told to stop or finishes, and
// writes the outputs. The program is a thin wrapper around it; tests call it
// on a thread of their own.
#pragma once

#include <atomic>
#include <functional>
#include <iosfwd>
#include <string>

#include "sim/options.h"

namespace pelvane::sim {

enum ExitCode : int {
  kExitOk = 0,
  kExitViolations = 1,  // the host broke the protocol at least once
  kExitUsage = 2,
  kExitSetup = 3,  // line, memories or outputs could not be set up or written
};

// `ready` gets the path a host opens (the pseudo-terminal's slave side or the
// device) once the instrument listens. Log lines go to `log`.
int RunSimulator(const SimOptions& options, const std::atomic<bool>& stop,
                 const std::function<void(const std::string&)>& ready, std::ostream& log);

// Writes one NAME_BASE.bin per memory into `dir`; an error text on failure.
std::optional<std::string> DumpMemories(const std::vector<FlashMemory>& memories,
                                        const std::string& dir);

}  // namespace pelvane::sim
