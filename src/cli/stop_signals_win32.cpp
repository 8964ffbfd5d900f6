#include <windows.h>

#include <cstdlib>
#include <mutex>

#include "cli/stop_signals.h"

namespace pelvane::cli {

// Windows calls the console's control handler on a thread of its own for
// Ctrl-C, Ctrl-Break and a closed console window. For a closed window the
// process ends as soon as the handler returns (or after a few seconds), so
// the handler holds on until the run is over or the grace time has passed,
// and then ends the run itself with its record written rather than be cut
// off without one. A handler may still be running when the runner is done:
// it holds the watcher it found, so the watcher outlives both.
struct StopSignals::Watcher {
  std::function<void()> onStop;
  std::function<int()> onForcedEnd;
  std::chrono::seconds grace{0};
  int requests = 0;      // guarded by watcherMutex
  bool forcing = false;  // guarded by watcherMutex: one handler ends the run
  HANDLE finished = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ~Watcher() { ::CloseHandle(finished); }
};

namespace {

std::mutex watcherMutex;
std::shared_ptr<StopSignals::Watcher> current;  // guarded by watcherMutex

BOOL WINAPI OnControl(DWORD event) {
  std::unique_lock lock(watcherMutex);
  const std::shared_ptr<StopSignals::Watcher> watcher = current;
  if (!watcher) return FALSE;
  const int request = ++watcher->requests;
  if (request == 1) watcher->onStop();
  lock.unlock();
  const bool closing =
      event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
  if (request < 2 && !closing) return TRUE;
  const auto wait = static_cast<DWORD>(watcher->grace.count() * 1000);
  if (::WaitForSingleObject(watcher->finished, wait) == WAIT_OBJECT_0) return TRUE;
  // Held to the end: the runner cannot go away meanwhile, and a later
  // request waits here until the process ends.
  lock.lock();
  if (current != watcher || watcher->forcing) return TRUE;
  watcher->forcing = true;
  std::_Exit(watcher->onForcedEnd());
}

}  // namespace

StopSignals::StopSignals(std::function<void()> onStop, std::function<int()> onForcedEnd,
                         std::chrono::seconds grace)
    : watcher_(std::make_shared<Watcher>()) {
  watcher_->onStop = std::move(onStop);
  watcher_->onForcedEnd = std::move(onForcedEnd);
  watcher_->grace = grace;
  {
    std::lock_guard lock(watcherMutex);
    current = watcher_;
  }
  ::SetConsoleCtrlHandler(OnControl, TRUE);
}

StopSignals::~StopSignals() {
  ::SetEvent(watcher_->finished);
  {
    std::lock_guard lock(watcherMutex);
    current = nullptr;
  }
  ::SetConsoleCtrlHandler(OnControl, FALSE);
}

}  // namespace pelvane::cli
