#include "core/message_loop.h"

namespace pelvane::core {

void PlainMessageLoop::Post(Task task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  posted_.notify_one();
}

void PlainMessageLoop::Wake() {
  {
    std::lock_guard lock(mutex_);
    woken_ = true;
  }
  posted_.notify_one();
}

std::size_t PlainMessageLoop::ProcessEvents(std::chrono::milliseconds maxWait) {
  std::deque<Task> batch;
  {
    std::unique_lock lock(mutex_);
    if (tasks_.empty() && !woken_ && maxWait.count() > 0)
      posted_.wait_for(lock, maxWait, [this] { return !tasks_.empty() || woken_; });
    woken_ = false;
    batch.swap(tasks_);
  }
  // Run outside the lock: a task may post further tasks, which wait for the
  // next call so that one call never runs forever.
  for (Task& task : batch) task();
  return batch.size();
}

namespace {
thread_local MessageLoop* installedLoop = nullptr;
}  // namespace

MessageLoop& CurrentMessageLoop() {
  if (installedLoop != nullptr) return *installedLoop;
  thread_local PlainMessageLoop ownLoop;
  return ownLoop;
}

ScopedMessageLoop::ScopedMessageLoop(MessageLoop& loop) : previous_(installedLoop) {
  installedLoop = &loop;
}

ScopedMessageLoop::~ScopedMessageLoop() {
  installedLoop = previous_;
}

}  // namespace pelvane::core
