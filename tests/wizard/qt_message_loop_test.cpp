// The owner thread's loop on Qt: notices posted from a worker run on the GUI
// thread in order, a wait ends with the first notice or a Wake, and the
// window's own events keep being handled while the controller waits.
#include "wizard/ui/qt_message_loop.h"

#include <QCoreApplication>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <thread>
#include <vector>

#include "core/message_loop.h"

using namespace std::chrono_literals;
using pelvane::wizard::QtMessageLoop;

class QtMessageLoopTest : public QObject {
  Q_OBJECT

 private slots:
  void tasksFromAWorkerRunInOrderOnTheGuiThread() {
    QtMessageLoop loop;
    std::vector<int> order;
    std::vector<bool> onGuiThread;
    std::thread worker([&] {
      for (int i = 0; i < 100; ++i)
        loop.Post([&, i] {
          order.push_back(i);
          onGuiThread.push_back(QThread::currentThread() == QCoreApplication::instance()->thread());
        });
    });
    worker.join();
    std::size_t ran = 0;
    while (ran < 100) ran += loop.ProcessEvents(10s);
    QCOMPARE(ran, std::size_t{100});
    for (int i = 0; i < 100; ++i) QCOMPARE(order[static_cast<std::size_t>(i)], i);
    for (bool b : onGuiThread) QVERIFY(b);
  }

  void aWaitEndsWithTheFirstNoticeFromAnotherThread() {
    QtMessageLoop loop;
    std::atomic<bool> ran{false};
    std::thread worker([&] {
      std::this_thread::sleep_for(20ms);
      loop.Post([&] { ran = true; });
    });
    // A long limit: the wait must end because of the notice, not the limit
    // (a fault here shows as a test that runs into its CTest time-out).
    const std::size_t n = loop.ProcessEvents(100s);
    worker.join();
    QCOMPARE(n, std::size_t{1});
    QVERIFY(ran.load());
  }

  void wakeEndsAWaitWithoutTasks() {
    QtMessageLoop loop;
    std::thread waker([&] {
      std::this_thread::sleep_for(20ms);
      loop.Wake();
    });
    QCOMPARE(loop.ProcessEvents(100s), std::size_t{0});
    waker.join();
    // A Wake is used up by the wait it ended: a zero wait does not block anyway,
    // and nothing is left over to end a later wait early.
    QCOMPARE(loop.ProcessEvents(0ms), std::size_t{0});
  }

  void aZeroWaitOnlyRunsWhatIsThere() {
    QtMessageLoop loop;
    QCOMPARE(loop.ProcessEvents(0ms), std::size_t{0});
    int count = 0;
    loop.Post([&] { ++count; });
    loop.Post([&] { ++count; });
    QCOMPARE(loop.ProcessEvents(0ms), std::size_t{2});
    QCOMPARE(count, 2);
  }

  void windowEventsAreHandledDuringAWait() {
    QtMessageLoop loop;
    bool timerFired = false;
    // A user action (here a timer) arrives while the controller waits, and
    // the action posts the notice that ends the wait, as Cancel does.
    QTimer::singleShot(10, [&] {
      timerFired = true;
      loop.Post([] {});
    });
    QCOMPARE(loop.ProcessEvents(100s), std::size_t{1});
    QVERIFY(timerFired);
  }

  void tasksAlsoRunFromTheWindowsOwnLoop() {
    QtMessageLoop loop;
    bool ran = false;
    loop.Post([&] { ran = true; });
    QCoreApplication::processEvents();
    QVERIFY(ran);
    QCOMPARE(loop.TasksRun(), std::size_t{1});
  }

  void installedLoopIsTheThreadsCurrentLoop() {
    QtMessageLoop loop;
    {
      pelvane::core::ScopedMessageLoop scoped(loop);
      QCOMPARE(&pelvane::core::CurrentMessageLoop(),
               static_cast<pelvane::core::MessageLoop*>(&loop));
    }
    QVERIFY(&pelvane::core::CurrentMessageLoop() !=
            static_cast<pelvane::core::MessageLoop*>(&loop));
  }

  void nestedWaitsEachEndOnTheirOwnNotice() {
    QtMessageLoop loop;
    std::size_t inner = 0;
    // A notice handler that waits again (as a message box inside a wait
    // would): the inner wait ends with the next notice, then the outer one.
    loop.Post([&] {
      std::thread([&] {
        std::this_thread::sleep_for(10ms);
        loop.Post([] {});
      }).detach();
      inner = loop.ProcessEvents(100s);
    });
    QCOMPARE(loop.ProcessEvents(100s), std::size_t{2});
    QCOMPARE(inner, std::size_t{1});
  }
};

QTEST_GUILESS_MAIN(QtMessageLoopTest)
#include "qt_message_loop_test.moc"
