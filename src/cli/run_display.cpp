#include "cli/run_display.h"

#include <algorithm>
#include <chrono>
#include <ostream>

#include "cli/json_text.h"

namespace pelvane::cli {

void RunDisplay::ActionUpdate(std::string& text) {
  std::lock_guard lock(record_.lock);
  record_.actions.push_back({IsoTime(std::chrono::system_clock::now()), text});
  ClearBar();
  if (options_.json)
    io_.out << JsonLine({{"event", "action"}, {"text", Text(text)}});
  else
    io_.out << ShownText(text) << "\n";
  io_.out.flush();
}

void RunDisplay::ProgressUpdate(std::string& text, std::int16_t& percent) {
  std::lock_guard lock(record_.lock);
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
          << shown << "% " << ShownText(text) << std::flush;
  barShown_ = true;
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
  if (!options_.json && io_.errIsTerminal) bootWait_.Start(limit);
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
  if (!barShown_) return;
  io_.err << "\r\033[K" << std::flush;
  barShown_ = false;
}

}  // namespace pelvane::cli
