// The technician and the boot monitor on a terminal: with --wait-boot the run
// asks for Enter once the instrument is in its boot monitor before anything is
// sent, and while the boot monitor's verdict on the transfer program is
// awaited a line shows the seconds left.
#pragma once

#include <chrono>
#include <condition_variable>
#include <iosfwd>
#include <mutex>
#include <string>
#include <thread>

#include "cli/cli_runner.h"

namespace pelvane::cli {

// Shows the instruction and waits for Enter; false when input ended or a
// cancellation came first (Ctrl-C ends the wait at once).
bool AskForBootMonitor(const std::string& instruction, CliStreams& io);

// The verdict wait holds the runner's thread inside the application layer, so
// a thread of its own redraws the line on standard error each second.
//
// Threading: Start and Stop on the runner's thread; standard error is the
// countdown's between the two.
class BootMonitorCountdown {
 public:
  explicit BootMonitorCountdown(std::ostream& err) : err_(err) {}
  ~BootMonitorCountdown() { Stop(); }
  BootMonitorCountdown(const BootMonitorCountdown&) = delete;
  BootMonitorCountdown& operator=(const BootMonitorCountdown&) = delete;

  // Draws the line at once, then as the seconds go.
  void Start(std::chrono::milliseconds limit);
  // Takes the line off the terminal; nothing when none is shown.
  void Stop();

 private:
  using Clock = std::chrono::steady_clock;
  // Draws the seconds left unless `shown` already says so; returns them.
  long Draw(Clock::time_point end, long shown);

  std::ostream& err_;
  std::mutex mutex_;  // guards stop_
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
  bool drawn_ = false;
};

}  // namespace pelvane::cli
