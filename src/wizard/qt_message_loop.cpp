#include "wizard/qt_message_loop.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <utility>

namespace pelvane::wizard {

QtMessageLoop::QtMessageLoop() = default;

// Tasks still queued are dropped with this object's posted events.
QtMessageLoop::~QtMessageLoop() = default;

void QtMessageLoop::Post(Task task) {
  // Queued calls to one receiver are delivered in the order they were posted,
  // which keeps the session's notices in order.
  QMetaObject::invokeMethod(
      this, [this, task = std::move(task)] { RunTask(task); }, Qt::QueuedConnection);
}

void QtMessageLoop::Wake() {
  woken_.store(true);
  QMetaObject::invokeMethod(
      this, [this] { EndWait(); }, Qt::QueuedConnection);
}

void QtMessageLoop::RunTask(const Task& task) {
  ++tasksRun_;
  if (task) task();
  EndWait();
}

void QtMessageLoop::EndWait() {
  if (waiting_ != nullptr) waiting_->quit();
}

std::size_t QtMessageLoop::ProcessEvents(std::chrono::milliseconds maxWait) {
  const std::size_t before = tasksRun_;
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
