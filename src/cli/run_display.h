// What the runner shows while a run goes: the action lines (text or JSON
// events) on standard output, the progress line (progress_line.h), each
// command's round trip when asked, and the facts of the run into its record.
#pragma once

#include <cstdint>
#include <string>

#include "cli/boot_monitor_wait.h"
#include "cli/cli_options.h"
#include "cli/cli_runner.h"
#include "cli/progress_line.h"
#include "cli/run_record.h"
#include "upload/qn_upload_process.h"

namespace pelvane::cli {

class RunDisplay final : public upload::QN_UploadProcessEvents {
 public:
  RunDisplay(const CliOptions& options, CliStreams& io, RunRecord& record);

  void ActionUpdate(std::string& text) override;
  void ProgressUpdate(std::string& text, std::int16_t& percent) override;
  void MemoryIdentified(const upload::MemoryCodes& codes) override;
  void ProgramReadBack(const upload::VerifyResult& result) override;
  void ProgramVerified(const upload::ProgramChecksum& program) override;
  void DownloadWritten(const std::string& filename, std::int64_t bytes,
                       const std::string& sha256) override;
  void BootMonitorWait(std::chrono::milliseconds limit) override;
  void CommandResent(const upload::Resend& resend) override;
  void AdapterSlow(const upload::SlowAdapter& slow) override;
  void OverallProgress(const upload::RunProgress& progress) override;
  void CommandTimed(const std::string& command, double seconds) override;

  // Takes the progress line (or the wait for the boot monitor) off the
  // terminal before other text goes there.
  void ClearBar();

 private:
  const CliOptions& options_;
  CliStreams& io_;
  RunRecord& record_;
  ProgressLine line_;
  int overallPercent_ = 0;
  BootMonitorCountdown bootWait_;
};

}  // namespace pelvane::cli
