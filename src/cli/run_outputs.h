// The files the runner writes besides the read-back files: the report and the
// trace. Both are checked before anything is written or sent, so that neither
// can destroy a file: not the package, not each other, not a read-back file
// of the run, no folder, FIFO or device, and no file the user did not agree
// to replace (an earlier report or trace of the runner may be replaced).
#pragma once

#include <string>
#include <vector>

#include "core/files.h"
#include "package/prompt.h"

namespace pelvane::cli {

struct RunOutput {
  std::string option;  // "--report"
  std::string what;    // "report"
  std::string path;    // empty: not asked for
  // Replacing the file found at the path was agreed to, or it is an earlier
  // record of its kind; otherwise no file of that name is replaced.
  core::Overwrite overwrite = core::Overwrite::kNever;
  // A file other than an earlier record is there: the user is asked.
  bool ask = false;
};

// Checks the outputs against the package, each other and what is at their
// paths, before the package is read. The usage error, or empty when every
// output can be written; sets each output's overwrite and ask.
std::string CheckRunOutputs(const std::string& package, std::vector<RunOutput*> outputs);

// Once the package is loaded: no output may be one of its read-back files,
// and `prompt` is asked about replacing the files that are no earlier record.
std::string SettleRunOutputs(const std::vector<RunOutput*>& outputs,
                             const std::vector<std::string>& readBacks, package::QN_Prompt& prompt);

}  // namespace pelvane::cli
