// What technicians keep per instrument: the record of one run, written as the
// report (--report) whatever the outcome.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "upload/failure_cause.h"
#include "upload/qn_upload_process.h"

namespace pelvane::cli {

struct RunRecord {
  struct Action {
    std::string time, text;
  };
  std::string package, packageSha256, comment, port, language, outputFolder, start, end;
  std::string operation = "update";
  std::vector<Action> actions;
  std::vector<upload::MemoryCodes> memories;
  std::vector<upload::ProgramChecksum> programs;
  std::vector<upload::VerifyResult> verified;
  std::vector<std::pair<std::string, std::int64_t>> downloads;
  // What a read-only operation concluded, as the user read it.
  std::vector<std::string> findings;
  std::optional<upload::RunStatistics> statistics;
  bool ok = false;
  std::int32_t code = 0;
  std::string message;
  upload::FailureCause cause = upload::FailureCause::None;
  int exitCode = 0;
  bool outputLost = false;

  // The record as indented JSON, ending in a line feed.
  std::string ToJson() const;
};

}  // namespace pelvane::cli
