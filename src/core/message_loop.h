// The queue of an owner thread. Worker threads hand their results to the
// thread that owns a component by posting tasks here; the owner runs them one
// at a time, in the order posted, whenever it processes events.
//
// Threading: Post may be called from any thread and never waits for the
// owner. ProcessEvents is called by the owner thread only.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace pelvane::core {

class MessageLoop {
 public:
  using Task = std::function<void()>;

  virtual ~MessageLoop() = default;

  virtual void Post(Task task) = 0;

  // Runs the tasks posted so far. When none is pending, sleeps until one is
  // posted or `maxWait` has passed (a zero wait only runs what is there).
  // Returns the number of tasks run.
  virtual std::size_t ProcessEvents(std::chrono::milliseconds maxWait) = 0;

  // Makes a ProcessEvents that is waiting return now (for example to notice a
  // cancel request set from a signal handler's helper thread).
  virtual void Wake() = 0;
};

class PlainMessageLoop final : public MessageLoop {
 public:
  void Post(Task task) override;
  std::size_t ProcessEvents(std::chrono::milliseconds maxWait) override;
  void Wake() override;

 private:
  std::mutex mutex_;  // guards tasks_ and woken_
  std::condition_variable posted_;
  std::deque<Task> tasks_;
  bool woken_ = false;
};

// The loop of the calling thread: the one installed with ScopedMessageLoop,
// otherwise a plain loop that belongs to the thread. Components that relay
// events remember the loop of the thread that created them.
MessageLoop& CurrentMessageLoop();

// Installs `loop` as the calling thread's loop for the lifetime of this object.
class ScopedMessageLoop {
 public:
  explicit ScopedMessageLoop(MessageLoop& loop);
  ~ScopedMessageLoop();
  ScopedMessageLoop(const ScopedMessageLoop&) = delete;
  ScopedMessageLoop& operator=(const ScopedMessageLoop&) = delete;

 private:
  MessageLoop* previous_;
};

}  // namespace pelvane::core
