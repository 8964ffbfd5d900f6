#include "cli/run_display.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ostream>

#include "cli/json_text.h"

namespace pelvane::cli {

namespace {

ProgressLine::Outputs LineOutputs(const CliOptions& options, CliStreams& io) {
  ProgressLine::Outputs outputs;
  if (options.json || options.quiet) return outputs;
  if (io.errIsTerminal) outputs.terminal = &io.err;
  outputs.escapes = io.terminalEscapes;
  if (!io.outIsTerminal) outputs.log = &io.out;
  return outputs;
}

}  // namespace

RunDisplay::RunDisplay(const CliOptions& options, CliStreams& io, RunRecord& record)
    : options_(options),
      io_(io),
      record_(record),
      line_(LineOutputs(options, io)),
      bootWait_(io.err) {}

void RunDisplay::ActionUpdate(std::string& text) {
  std::lock_guard lock(record_.lock);
  record_.actions.push_back({IsoTime(std::chrono::system_clock::now()), text});
  if (options_.quiet) return;
  ClearBar();
  if (options_.json)
    io_.out << JsonLine({{"event", "action"}, {"text", Text(text)}});
  else
    io_.out << ShownText(text) << "\n";
  io_.out.flush();
}

void RunDisplay::ProgressUpdate(std::string& text, std::int16_t& percent) {
  std::lock_guard lock(record_.lock);
  if (!options_.json) return;
  io_.out << JsonLine({{"event", "progress"},
                       {"text", Text(text)},
                       {"percent", percent},
                       {"overall", overallPercent_}});
  io_.out.flush();
}

void RunDisplay::OverallProgress(const upload::RunProgress& progress) {
  std::lock_guard lock(record_.lock);
  bootWait_.Stop();
  overallPercent_ = static_cast<int>(std::floor(progress.fraction * 100.0));
  line_.Update(progress);
}

void RunDisplay::CommandTimed(const std::string& command, double seconds) {
  if (!options_.verbose) return;
  std::lock_guard lock(record_.lock);
  if (options_.json) {
    io_.out << JsonLine({{"event", "command"}, {"command", command}, {"seconds", seconds}});
  } else {
    ClearBar();
    char text[64];
    std::snprintf(text, sizeof text, "  %s answered in %.3f ms\n", command.c_str(), seconds * 1e3);
    io_.out << text;
  }
  io_.out.flush();
}

void RunDisplay::MemoryIdentified(const upload::MemoryCodes& codes) {
  std::lock_guard lock(record_.lock);
  record_.memories.push_back(codes);
}

void RunDisplay::ProgramReadBack(const upload::VerifyResult& result) {
  std::lock_guard lock(record_.lock);
  record_.verified.push_back(result);
}

void RunDisplay::ProgramVerified(const upload::ProgramChecksum& program) {
  std::lock_guard lock(record_.lock);
  record_.programs.push_back(program);
}

void RunDisplay::DownloadWritten(const std::string& filename, std::int64_t bytes,
                                 const std::string& sha256) {
  std::lock_guard lock(record_.lock);
  record_.downloads.push_back({filename, bytes, sha256});
}

void RunDisplay::BootMonitorWait(std::chrono::milliseconds limit) {
  // A terminal's own: JSON lines and logs are unchanged.
  if (!options_.json && !options_.quiet && io_.errIsTerminal) bootWait_.Start(limit);
}

void RunDisplay::CommandResent(const upload::Resend& resend) {
  std::lock_guard lock(record_.lock);
  record_.resends.push_back(resend);
}

void RunDisplay::AdapterSlow(const upload::SlowAdapter& slow) {
  std::lock_guard lock(record_.lock);
  record_.slowAdapter = slow;
}

void RunDisplay::ClearBar() {
  bootWait_.Stop();
  line_.Clear();
}

}  // namespace pelvane::cli
