#include "session/session_worker.h"

#include <utility>

namespace pelvane::session {

SessionWorker::~SessionWorker() {
  Stop();
}

void SessionWorker::Start(Pass pass) {
  if (thread_.joinable()) return;
  stopRequest_.store(false, std::memory_order_release);
  {
    std::lock_guard lock(mutex_);
    woken_ = false;
  }
  running_.store(true, std::memory_order_release);
  thread_ = std::thread(&SessionWorker::Run, this, std::move(pass));
}

void SessionWorker::Stop() {
  if (!thread_.joinable()) return;
  stopRequest_.store(true, std::memory_order_release);
  Wake();
  thread_.join();
}

void SessionWorker::Wake() {
  {
    std::lock_guard lock(mutex_);
    woken_ = true;
  }
  wakeSignal_.notify_one();
}

void SessionWorker::WaitForWake(std::optional<std::chrono::milliseconds> timeout) {
  std::unique_lock lock(mutex_);
  const auto woken = [this] { return woken_ || StopRequested(); };
  if (timeout)
    wakeSignal_.wait_for(lock, *timeout, woken);
  else
    wakeSignal_.wait(lock, woken);
  woken_ = false;
}

void SessionWorker::Run(Pass pass) {
  while (!StopRequested()) pass();
  running_.store(false, std::memory_order_release);
}

}  // namespace pelvane::session
