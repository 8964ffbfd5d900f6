#include "cli/boot_monitor_wait.h"

#include <ostream>

namespace pelvane::cli {

bool AskForBootMonitor(const std::string& instruction, CliStreams& io) {
  io.err << instruction << ".\nPress Enter once the instrument is in its boot monitor (Ctrl-C "
         << "cancels): " << std::flush;
  return ReadAnswer(io).has_value();
}

void BootMonitorCountdown::Start(std::chrono::milliseconds limit) {
  Stop();
  const Clock::time_point end = Clock::now() + limit;
  long shown = Draw(end, -1);
  drawn_ = true;
  stop_ = false;
  thread_ = std::thread([this, end, shown]() mutable {
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, std::chrono::milliseconds(200), [this] { return stop_; }))
      shown = Draw(end, shown);
  });
}

void BootMonitorCountdown::Stop() {
  if (thread_.joinable()) {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  if (drawn_) err_ << "\r\033[K" << std::flush;
  drawn_ = false;
}

long BootMonitorCountdown::Draw(Clock::time_point end, long shown) {
  const auto left = std::max(end - Clock::now(), Clock::duration::zero());
  const long seconds = static_cast<long>(std::chrono::round<std::chrono::seconds>(left).count());
  if (seconds != shown)
    err_ << "\r\033[KWaiting for the boot monitor's answer (" << seconds << " s left)"
         << std::flush;
  return seconds;
}

}  // namespace pelvane::cli
