#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "cli/stop_signals.h"

namespace pelvane::cli {

// The signals that mean "stop" are taken by one thread in sigwait. They are
// blocked before any other thread starts, so that every thread inherits the
// mask. Only they are waited for: any other signal has no say over the
// watcher. The destructor ends the watcher by sending it a watched signal
// with `done` set.
struct StopSignals::Watcher {
  sigset_t signals{};
  std::atomic<bool> done{false};
  std::thread thread;
};

StopSignals::StopSignals(std::function<void()> onStop, std::function<int()> onForcedEnd,
                         std::chrono::seconds grace)
    : watcher_(std::make_shared<Watcher>()) {
  // A reader that went away (`| head`) must not end the run half-way with the
  // programming voltage on: writes to it fail instead, and the run goes on.
  ::signal(SIGPIPE, SIG_IGN);
  // The user signals mean nothing to the runner; by default they would end
  // it at once, also with the programming voltage on.
  ::signal(SIGUSR1, SIG_IGN);
  ::signal(SIGUSR2, SIG_IGN);
  sigset_t& signals = watcher_->signals;
  sigemptyset(&signals);
  for (const int signal : {SIGINT, SIGTERM, SIGQUIT}) sigaddset(&signals, signal);
  // Started under nohup: a closed terminal is not meant to stop the run.
  struct sigaction hangup {};
  if (::sigaction(SIGHUP, nullptr, &hangup) != 0 || hangup.sa_handler != SIG_IGN)
    sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  Watcher* watcher = watcher_.get();
  watcher_->thread = std::thread(
      [watcher, onStop = std::move(onStop), onForcedEnd = std::move(onForcedEnd), grace] {
        int signal = 0;
        if (sigwait(&watcher->signals, &signal) != 0 || watcher->done) return;
        onStop();
        if (sigwait(&watcher->signals, &signal) != 0 || watcher->done) return;
        // The orderly end may still come within the grace time; a third request
        // does not wait for it.
        const timespec wait{grace.count(), 0};
        siginfo_t info{};
        sigtimedwait(&watcher->signals, &info, &wait);
        if (watcher->done) return;
        std::_Exit(onForcedEnd());
      });
}

StopSignals::~StopSignals() {
  watcher_->done = true;
  pthread_kill(watcher_->thread.native_handle(), SIGINT);
  watcher_->thread.join();
}

}  // namespace pelvane::cli
