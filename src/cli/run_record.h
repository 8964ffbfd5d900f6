// What technicians keep per instrument: the record of one run, written as the
// report (--report) whatever the outcome.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "upload/failure_cause.h"
#include "upload/qn_upload_process.h"

namespace pelvane::cli {

struct RunRecord {
  struct Action {
    std::string time, text;
  };
  struct Download {
    std::string file;
    std::int64_t bytes = 0;
    std::string sha256;  // of the bytes written, taken when they were written
  };
  // Guards the record, and the standard streams while a run shows itself,
  // against a forced end on the stop watcher's thread, which waits for it
  // only a bounded time: a run stuck while it holds it (a blocked pipe)
  // cannot keep that end waiting.
  std::mutex lock;
  std::string package, packageSha256, comment, port, language, outputFolder, start, end;
  std::string operation = "update";
  std::vector<Action> actions;
  std::vector<upload::MemoryCodes> memories;
  std::vector<upload::ProgramChecksum> programs;
  std::vector<upload::VerifyResult> verified;
  std::vector<Download> downloads;
  std::vector<upload::Resend> resends;
  std::optional<upload::SlowAdapter> slowAdapter;
  // What a read-only operation concluded, as the user read it.
  std::vector<std::string> findings;
  std::optional<upload::RunStatistics> statistics;
  bool ok = false;
  std::int32_t code = 0;
  std::string message;
  upload::FailureCause cause = upload::FailureCause::None;
  int exitCode = 0;
  bool outputLost = false;
  std::string traceError;  // why the trace could not be written

  // The record as indented JSON, ending in a line feed.
  std::string ToJson() const;
};

}  // namespace pelvane::cli
