#include "mornik/time/TimerCall.hpp"

#include <cmath>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/time/TimerPublisher.hpp"

#include "tests/support/ManualClock.hpp"
#include "tests/support/RunLoopWait.hpp"

namespace mornik {
namespace {

TEST(TimerCall, TicksFollowTheKindsOrder) {
  struct Case {
    const char* name;
    int condTrueFromTick;  // stopCondition only; 0: a continious or oneTime timer
    bool oneTime;
    std::vector<int> actionsAfterTick;  // after ticks 1, 2, 3, 4
    bool validAtEnd;
  };
  const Case cases[] = {
      {"continious", 0, false, {1, 2, 3, 4}, true},
      {"oneTime", 0, true, {1, 1, 1, 1}, false},
      {"stopCondition true at the first tick", 1, false, {0, 0, 0, 0}, false},
      {"stopCondition true at the third tick", 3, false, {1, 2, 2, 2}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::ManualClock clock;
    int ticks = 0;
    int actions = 0;
    const auto type =
        c.oneTime ? TimerCallType::oneTime(0.5)
        : c.condTrueFromTick > 0
            ? TimerCallType::stopCondition(0.5, [&] { return ++ticks >= c.condTrueFromTick; })
            : TimerCallType::continious(0.5);
    std::weak_ptr<TimerCall> weak = TimerCall::make(type, [&] { ++actions; });
    EXPECT_FALSE(weak.expired()) << "the run loop keeps a running timer";
    for (const int expected : c.actionsAfterTick) {
      clock.advance(0.5);
      EXPECT_EQ(actions, expected);
    }
    EXPECT_EQ(!weak.expired() && weak.lock()->isValid(), c.validAtEnd);
    if (auto call = weak.lock()) call->invalidate();
    RunLoop::main().runFor(0);  // the loop drops an invalidated timer on its next pass
    EXPECT_TRUE(weak.expired()) << "invalidate releases the timer's hold";
  }
}

TEST(TimerCall, InvalidateBeforeTheFirstTickTwiceAndFromInsideTheAction) {
  test::ManualClock clock;
  int early = 0;
  auto stopped = TimerCall::make(TimerCallType::continious(1), [&] { ++early; });
  stopped->invalidate();
  stopped->invalidate();
  std::shared_ptr<TimerCall> self;
  int inside = 0;
  self = TimerCall::make(TimerCallType::continious(1), [&] {
    ++inside;
    self->invalidate();
  });
  clock.advance(1.0);
  clock.advance(1.0);
  EXPECT_EQ(early, 0);
  EXPECT_EQ(inside, 1);
  EXPECT_FALSE(self->isValid());
}

TEST(TimerCall, NanOrInfiniteIntervalGivesAnInvalidTimer) {
  test::ManualClock clock;
  int runs = 0;
  for (const double interval : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
    auto call = TimerCall::make(TimerCallType::continious(interval), [&] { ++runs; });
    EXPECT_FALSE(call->isValid());
  }
  clock.advance(10.0);
  EXPECT_EQ(runs, 0);
}

TEST(TimerPublisher, TicksFromTheFirstSubscriptionUntilStopped) {
  test::ManualClock clock;
  TimerPublisher ticks(1.0);
  clock.advance(1.0);  // nobody subscribed: not connected
  std::vector<Date> first;
  int second = 0;
  Subscription a = ticks.subscribe([&](Date d) { first.push_back(d); });
  {
    Subscription b = ticks.subscribe([&](Date) { ++second; });
    clock.advance(1.0);
  }
  clock.advance(1.0);
  ASSERT_EQ(first.size(), 2U);
  EXPECT_LE(std::abs(first.back() - Date::now()), 60.0);
  EXPECT_EQ(second, 1);  // released after the first tick
  TimerPublisher copy = ticks;
  copy.stopTimerPublisher();
  Subscription late = ticks.subscribe([&](Date d) { first.push_back(d); });
  clock.advance(3.0);
  EXPECT_EQ(first.size(), 2U);
}

}  // namespace
}  // namespace mornik
