#include "cli/run_display.h"

#include <algorithm>
#include <chrono>
#include <ostream>

#include "cli/json_text.h"

namespace pelvane::cli {

void RunDisplay::ActionUpdate(std::string& text) {
  record_.actions.push_back({IsoTime(std::chrono::system_clock::now()), text});
  ClearBar();
  if (options_.json)
    io_.out << JsonLine({{"event", "action"}, {"text", Text(text)}});
  else
    io_.out << text << "\n";
  io_.out.flush();
}

void RunDisplay::ProgressUpdate(std::string& text, std::int16_t& percent) {
  if (options_.json) {
    io_.out << JsonLine({{"event", "progress"}, {"text", Text(text)}, {"percent", percent}});
    io_.out.flush();
    return;
  }
  if (!io_.errIsTerminal) return;
  bootWait_.Stop();
  const int shown = std::clamp<int>(percent, 0, 100);
  constexpr int kWidth = 30;
  const int filled = shown * kWidth / 100;
  io_.err << "\r\033[K[" << std::string(filled, '#') << std::string(kWidth - filled, ' ') << "] "
          << shown << "% " << text << std::flush;
  barShown_ = true;
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

void RunDisplay::BootMonitorWait(std::chrono::milliseconds limit) {
  // A terminal's own: JSON lines and logs are unchanged.
  if (!options_.json && io_.errIsTerminal) bootWait_.Start(limit);
}

void RunDisplay::CommandResent(const upload::Resend& resend) {
  record_.resends.push_back(resend);
}

void RunDisplay::AdapterSlow(const upload::SlowAdapter& slow) {
  record_.slowAdapter = slow;
}

void RunDisplay::ClearBar() {
  bootWait_.Stop();
  if (!barShown_) return;
  io_.err << "\r\033[K" << std::flush;
  barShown_ = false;
}

}  // namespace pelvane::cli
