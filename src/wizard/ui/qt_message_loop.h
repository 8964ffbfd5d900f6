// The owner thread's message loop on top of Qt's event loop. The session's
// worker posts its notices here; they run on the GUI thread as ordinary Qt
// events, so they arrive both while the upload controller waits inside
// ProcessEvents and whenever the window's own loop runs. Waiting keeps
// painting and input alive, which is what lets the user press Cancel during
// an upload.
//
// Threading: construct, ProcessEvents and destroy on the GUI thread. Post and
// Wake may be called from any thread and never block.
#pragma once

#include <QObject>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>

#include "core/message_loop.h"

class QEventLoop;

namespace pelvane::wizard {

class QtMessageLoop final : public QObject, public core::MessageLoop {
  Q_OBJECT

 public:
  QtMessageLoop();
  ~QtMessageLoop() override;

  void Post(Task task) override;
  std::size_t ProcessEvents(std::chrono::milliseconds maxWait) override;
  void Wake() override;

  // Tasks run so far, by either way of delivery (for tests and diagnostics).
  std::size_t TasksRun() const { return tasksRun_; }

 private:
  // Runs the queued tasks one at a time, each outside the lock.
  void Drain();
  void EndWait();

  std::mutex mutex_;               // guards tasks_
  std::deque<Task> tasks_;         // posted, not yet run
  std::size_t tasksRun_ = 0;       // GUI thread only
  QEventLoop* waiting_ = nullptr;  // innermost wait of ProcessEvents, GUI thread only
  std::atomic<bool> woken_{false};
};

}  // namespace pelvane::wizard
