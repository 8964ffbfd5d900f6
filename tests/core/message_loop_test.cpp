#include "core/message_loop.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace pelvane::core {
namespace {

using std::chrono::milliseconds;

TEST(MessageLoopTest, RunsTasksFromOtherThreadsInOrderOnTheOwner) {
  PlainMessageLoop loop;
  std::vector<int> seen;
  const auto owner = std::this_thread::get_id();
  std::thread worker([&] {
    for (int i = 0; i < 100; ++i)
      loop.Post([&, i] {
        EXPECT_EQ(std::this_thread::get_id(), owner);
        seen.push_back(i);
      });
  });
  worker.join();
  EXPECT_EQ(loop.ProcessEvents(milliseconds(0)), 100u);
  ASSERT_EQ(seen.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[i], i);
}

TEST(MessageLoopTest, WaitEndsWhenATaskArrives) {
  PlainMessageLoop loop;
  bool ran = false;
  std::thread worker([&] {
    std::this_thread::sleep_for(milliseconds(20));
    loop.Post([&] { ran = true; });
  });
  // The bound is generous; the wait must end with the post, not the bound.
  while (!ran) loop.ProcessEvents(milliseconds(60000));
  worker.join();
  EXPECT_TRUE(ran);
}

TEST(MessageLoopTest, WakeEndsAWaitWithoutTasks) {
  PlainMessageLoop loop;
  std::thread waker([&] {
    std::this_thread::sleep_for(milliseconds(20));
    loop.Wake();
  });
  EXPECT_EQ(loop.ProcessEvents(milliseconds(60000)), 0u);
  waker.join();
}

TEST(MessageLoopTest, TasksPostedByATaskRunOnTheNextCall) {
  PlainMessageLoop loop;
  int runs = 0;
  loop.Post([&] {
    ++runs;
    loop.Post([&] { ++runs; });
  });
  EXPECT_EQ(loop.ProcessEvents(milliseconds(0)), 1u);
  EXPECT_EQ(loop.ProcessEvents(milliseconds(0)), 1u);
  EXPECT_EQ(runs, 2);
}

TEST(MessageLoopTest, ScopedLoopBecomesTheCurrentOne) {
  PlainMessageLoop loop;
  MessageLoop& before = CurrentMessageLoop();
  {
    ScopedMessageLoop scope(loop);
    EXPECT_EQ(&CurrentMessageLoop(), &loop);
  }
  EXPECT_EQ(&CurrentMessageLoop(), &before);
}

}  // namespace
}  // namespace pelvane::core
