#include <pthread.h>
#include <signal.h>

#include <cstdlib>
#include <thread>

#include "cli/stop_signals.h"

namespace pelvane::cli {

// SIGINT, SIGTERM and SIGHUP (a closed terminal or ssh session) are taken by
// one thread in sigwait. They are blocked before any other thread starts,
// so that every thread inherits the mask. SIGUSR1 is how the destructor ends
// the watcher once the run is over.
struct StopSignals::Watcher {
  sigset_t signals{};
  std::thread thread;
};

StopSignals::StopSignals(std::function<void()> onStop, std::chrono::seconds grace,
                         int forcedExitCode)
    : watcher_(std::make_shared<Watcher>()) {
  // A reader that went away (`| head`) must not end the run half-way with the
  // programming voltage on: writes to it fail instead, and the run goes on.
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t& signals = watcher_->signals;
  sigemptyset(&signals);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaddset(&signals, signal);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  watcher_->thread = std::thread([onStop = std::move(onStop), signals, grace, forcedExitCode] {
    int signal = 0;
    if (sigwait(&signals, &signal) != 0 || signal == SIGUSR1) return;
    onStop();
    if (sigwait(&signals, &signal) != 0 || signal == SIGUSR1) return;
    const timespec wait{grace.count(), 0};
    siginfo_t info{};
    if (sigtimedwait(&signals, &info, &wait) == SIGUSR1) return;
    std::_Exit(forcedExitCode);
  });
}

StopSignals::~StopSignals() {
  pthread_kill(watcher_->thread.native_handle(), SIGUSR1);
  watcher_->thread.join();
}

}  // namespace pelvane::cli
