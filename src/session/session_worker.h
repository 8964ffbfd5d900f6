// The worker thread of an open session: it runs the session's pass over and
// over until it is asked to stop.
//
// Threading: Start and Stop are called on the owner's thread; Wake from any
// thread; StopRequested and WaitForWake from the pass, on the worker thread.
// The wake signal resets itself when a wait consumes it, so a Wake given while
// the worker is busy still ends its next wait at once and no wake is lost.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace pelvane::session {

class SessionWorker {
 public:
  using Pass = std::function<void()>;

  SessionWorker() = default;
  ~SessionWorker();  // stops a running worker
  SessionWorker(const SessionWorker&) = delete;
  SessionWorker& operator=(const SessionWorker&) = delete;

  // Starts the thread, which calls `pass` until Stop. Does nothing while running.
  void Start(Pass pass);
  // Asks the pass to stop, ends any wait, and returns when the thread has left.
  void Stop();
  bool Running() const { return running_.load(std::memory_order_acquire); }

  void Wake();
  bool StopRequested() const { return stopRequest_.load(std::memory_order_acquire); }
  // Sleeps until Wake or Stop, or until `timeout` has passed (never without one).
  void WaitForWake(std::optional<std::chrono::milliseconds> timeout);

 private:
  void Run(Pass pass);

  std::atomic<bool> stopRequest_{false};
  std::atomic<bool> running_{false};
  std::mutex mutex_;  // guards woken_
  std::condition_variable wakeSignal_;
  bool woken_ = false;
  std::thread thread_;
};

}  // namespace pelvane::session
