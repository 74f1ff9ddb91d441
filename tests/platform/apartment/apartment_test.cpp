#include "platform/apartment/apartment.h"

#include <gtest/gtest.h>

#include <thread>

namespace vexa32 {
namespace {

using std::chrono::milliseconds;

struct ManualLoop {
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  Apartment apartment{clock};
};

TEST(Apartment, BecomesTheThreadsCurrentApartment) {
  EXPECT_EQ(Apartment::current(), nullptr);
  {
    Apartment outer;
    EXPECT_EQ(Apartment::current(), &outer);
    {
      Apartment inner;
      EXPECT_EQ(&Apartment::require_current(), &inner);
    }
    EXPECT_EQ(Apartment::current(), &outer);
  }
  EXPECT_THROW(Apartment::require_current(), std::logic_error);
}

TEST(Apartment, PostedTasksRunLaterInOrder) {
  ManualLoop loop;
  std::vector<int> order;
  loop.apartment.post([&] {
    order.push_back(1);
    loop.apartment.post([&] { order.push_back(3); });
  });
  loop.apartment.post([&] { order.push_back(2); });
  EXPECT_TRUE(order.empty());  // nothing runs inside post
  EXPECT_EQ(loop.apartment.run_until_idle(), 3u);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(Apartment, TimersFireOnTheManualClock) {
  ManualLoop loop;
  int periodic = 0, once = 0;
  loop.apartment.set_timer(milliseconds(100), [&] { ++periodic; });
  loop.apartment.set_timer(
      milliseconds(250), [&] { ++once; }, false);
  loop.apartment.run_until_idle();
  EXPECT_EQ(periodic, 0);
  loop.apartment.run_for(milliseconds(1000));
  EXPECT_EQ(periodic, 10);
  EXPECT_EQ(once, 1);
  EXPECT_EQ(loop.apartment.timer_count(), 1u);
}

TEST(Apartment, ACallbackMayKillItsOwnTimer) {
  ManualLoop loop;
  int fired = 0;
  Apartment::TimerId id = 0;
  id = loop.apartment.set_timer(milliseconds(10), [&] {
    if (++fired == 3) loop.apartment.kill_timer(id);
  });
  loop.apartment.run_for(milliseconds(1000));
  EXPECT_EQ(fired, 3);
  EXPECT_FALSE(loop.apartment.kill_timer(id));
}

TEST(Apartment, TimersFireInOrderOfDueTime) {
  ManualLoop loop;
  std::vector<int> order;
  loop.apartment.set_timer(
      milliseconds(30), [&] { order.push_back(30); }, false);
  loop.apartment.set_timer(
      milliseconds(10), [&] { order.push_back(10); }, false);
  loop.apartment.set_timer(
      milliseconds(20), [&] { order.push_back(20); }, false);
  loop.apartment.run_for(milliseconds(50));
  EXPECT_EQ(order, (std::vector<int>{10, 20, 30}));
}

TEST(Apartment, RunReturnsOnQuitAndAcceptsPostsFromOtherThreads) {
  Apartment apartment;  // system clock
  int ran = 0;
  std::thread other([&] {
    apartment.post([&] { ++ran; });
    apartment.post([&] { apartment.quit(); });
  });
  apartment.run();
  other.join();
  EXPECT_EQ(ran, 1);
}

TEST(Apartment, RunOnAManualClockEndsWhenNothingIsLeft) {
  ManualLoop loop;
  int fired = 0;
  loop.apartment.set_timer(
      milliseconds(500), [&] { ++fired; }, false);
  loop.apartment.run();
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(loop.clock->now() - Clock::time_point{}, milliseconds(500));
}

}  // namespace
}  // namespace vexa32
