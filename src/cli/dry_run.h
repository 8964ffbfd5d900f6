// --dry-run: everything a run checks before it opens the port, and its plan
// with the estimated time, while the port stays closed (opening a serial
// port pulses DTR and RTS, which resets some instruments) and nothing is
// sent or written.
#pragma once

#include <cstdint>
#include <string>

#include "cli/cli_options.h"
#include "cli/cli_runner.h"
#include "upload/failure_cause.h"

namespace pelvane::upload {
class QN_UploadProcess;
}

namespace pelvane::cli {

class OverwritePrompt;

struct DryRunOutcome {
  int exitCode = kExitOk;  // what the run would end with when it could not start
  std::int32_t code = 0;
  std::string message = "OK";
  upload::FailureCause cause = upload::FailureCause::None;
};

// Checks the port, the output folder and the package for the run that
// `options` describe on the loaded `process`, prints the plan (text or JSON)
// and says whether the run could start.
DryRunOutcome DryRun(const CliOptions& options, CliStreams& io, upload::QN_UploadProcess& process,
                     const OverwritePrompt& prompt);

}  // namespace pelvane::cli
