#include "wizard/ui/qt_message_loop.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <utility>

namespace pelvane::wizard {

QtMessageLoop::QtMessageLoop() = default;

// Tasks still queued are dropped with this object's posted events.
QtMessageLoop::~QtMessageLoop() = default;

void QtMessageLoop::Post(Task task) {
  // The tasks wait in a queue of this object, so that they run, and are
  // destroyed, on the GUI thread and in the order posted; Qt only carries
  // the call that drains the queue. One call is enough while the queue is
  // not empty, since a drain runs until it finds the queue empty.
  bool wasEmpty = false;
  {
    std::lock_guard lock(mutex_);
    wasEmpty = tasks_.empty();
    tasks_.push_back(std::move(task));
  }
  if (wasEmpty)
    QMetaObject::invokeMethod(
        this, [this] { Drain(); }, Qt::QueuedConnection);
}

void QtMessageLoop::Wake() {
  woken_.store(true);
  QMetaObject::invokeMethod(
      this, [this] { EndWait(); }, Qt::QueuedConnection);
}

void QtMessageLoop::Drain() {
  for (;;) {
    Task task;
    {
      std::lock_guard lock(mutex_);
      if (tasks_.empty()) return;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    ++tasksRun_;
    if (task) task();
    EndWait();
  }
}

void QtMessageLoop::EndWait() {
  if (waiting_ != nullptr) waiting_->quit();
}

std::size_t QtMessageLoop::ProcessEvents(std::chrono::milliseconds maxWait) {
  const std::size_t before = tasksRun_;
  // Directly first: a task that waits (from inside a drain) must still see
  // the tasks queued behind it.
  Drain();
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  if (tasksRun_ == before && !woken_.load() && maxWait.count() > 0) {
    // A nested loop that ends on the first task, on Wake, or when the time is
    // up; in between it sleeps in the event dispatcher, costing no CPU.
    QEventLoop loop;
    QEventLoop* outer = std::exchange(waiting_, &loop);
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(maxWait);
    loop.exec();
    waiting_ = outer;
  }
  woken_.store(false);
  return tasksRun_ - before;
}

}  // namespace pelvane::wizard
