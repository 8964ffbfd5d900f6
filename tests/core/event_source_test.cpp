#include "core/event_source.h"

#include <gtest/gtest.h>

#include <vector>

namespace pelvane::core {
namespace {

struct Listener {
  std::vector<int>* log;
  int id;
  void Hit() { log->push_back(id); }
};

TEST(EventSourceTest, DeliversInRegistrationOrderAndStopsAfterUnadvise) {
  std::vector<int> log;
  Listener a{&log, 1}, b{&log, 2};
  EventSource<Listener> source;
  Cookie ca = 0, cb = 0;
  ASSERT_EQ(source.Advise(&a, &ca), Status::Ok);
  ASSERT_EQ(source.Advise(&b, &cb), Status::Ok);
  EXPECT_NE(ca, cb);
  source.Raise([](Listener& l) { l.Hit(); });
  EXPECT_EQ(log, (std::vector<int>{1, 2}));

  EXPECT_EQ(source.Unadvise(ca), Status::Ok);
  EXPECT_EQ(source.Unadvise(ca), Status::Fail);
  source.Raise([](Listener& l) { l.Hit(); });
  EXPECT_EQ(log, (std::vector<int>{1, 2, 2}));
}

TEST(EventSourceTest, MissingListenerOrCookieIsAPointerError) {
  EventSource<Listener> source;
  Cookie cookie = 0;
  Listener l{nullptr, 0};
  EXPECT_EQ(source.Advise(nullptr, &cookie), Status::Pointer);
  EXPECT_EQ(source.Advise(&l, nullptr), Status::Pointer);
  EXPECT_EQ(source.size(), 0u);
}

TEST(EventSourceTest, ListenerRemovedDuringDeliveryIsNotCalledAgain) {
  std::vector<int> log;
  Listener a{&log, 1}, b{&log, 2};
  EventSource<Listener> source;
  Cookie ca = 0, cb = 0;
  source.Advise(&a, &ca);
  source.Advise(&b, &cb);
  source.Raise([&](Listener& l) {
    l.Hit();
    source.Unadvise(cb);
  });
  EXPECT_EQ(log, (std::vector<int>{1}));
}

}  // namespace
}  // namespace pelvane::core
