// The requests to stop that reach the runner from outside: Ctrl-C, a kill, a
// closed terminal or console window. The first asks the run to end in order
// (the link closed, the programming voltage switched off, the record
// written); a second one means the user will not wait long: the orderly end
// gets a grace time more, then the process ends with the cancelled status.
//
// Threading: `onStop` runs once, on a thread of the watcher's own, never in a
// signal handler; it must only hand the request over (CliRunner::RequestCancel).
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace pelvane::cli {

class StopSignals {
 public:
  // Starts watching. On POSIX systems this must come before any other
  // thread starts, so that every thread leaves the signals to the watcher.
  StopSignals(std::function<void()> onStop, std::chrono::seconds grace, int forcedExitCode);
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
