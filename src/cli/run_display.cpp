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
    : options_(options), io_(io), record_(record), line_(LineOutputs(options, io)) {}

void RunDisplay::ActionUpdate(std::string& text) {
  record_.actions.push_back({IsoTime(std::chrono::system_clock::now()), text});
  if (options_.quiet) return;
  ClearBar();
  if (options_.json)
    io_.out << JsonLine({{"event", "action"}, {"text", Text(text)}});
  else
    io_.out << text << "\n";
  io_.out.flush();
}

void RunDisplay::ProgressUpdate(std::string& text, std::int16_t& percent) {
  if (!options_.json) return;
  io_.out << JsonLine({{"event", "progress"},
                       {"text", Text(text)},
                       {"percent", percent},
                       {"overall", overallPercent_}});
  io_.out.flush();
}

void RunDisplay::OverallProgress(const upload::RunProgress& progress) {
  overallPercent_ = static_cast<int>(std::floor(progress.fraction * 100.0));
  line_.Update(progress);
}

void RunDisplay::CommandTimed(const std::string& command, double seconds) {
  if (!options_.verbose) return;
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
  record_.memories.push_back(codes);
}

void RunDisplay::ProgramReadBack(const upload::VerifyResult& result) {
  record_.verified.push_back(result);
}

void RunDisplay::ProgramVerified(const upload::ProgramChecksum& program) {
  record_.programs.push_back(program);
}

void RunDisplay::DownloadWritten(const std::string& filename, std::int64_t bytes) {
  record_.downloads.emplace_back(filename, bytes);
}

}  // namespace pelvane::cli
