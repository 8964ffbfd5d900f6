// The requests to stop that reach the runner from outside: Ctrl-C, a kill, a
// closed terminal or console window (SIGINT, SIGTERM, SIGHUP and SIGQUIT on
// POSIX systems, where SIGHUP stays ignored when the program started with it
// ignored, as under nohup; Ctrl-C, Ctrl-Break and the console's close,
// logoff and shutdown events on Windows). The first asks the run to end in order (the link
// closed, the record written); a second one means the user will not wait
// long: the orderly end gets a grace time more, then `onForcedEnd` writes
// what it can and the process ends with the code it gives.
//
// Threading: `onStop` and `onForcedEnd` run at most once each, on a thread of
// the watcher's own, never in a signal handler; `onStop` must only hand the
// request over (CliRunner::RequestCancel).
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace pelvane::cli {

class StopSignals {
 public:
  // Starts watching. On POSIX systems this must come before any other
  // thread starts, so that every thread leaves the signals to the watcher.
  StopSignals(std::function<void()> onStop, std::function<int()> onForcedEnd,
              std::chrono::seconds grace);
  // Stops watching; a run that ends meanwhile is not cut short.
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // What the platform's watching needs; its own business.
  struct Watcher;

 private:
  std::shared_ptr<Watcher> watcher_;
};

}  // namespace pelvane::cli
