#include "mornik/time/TimerCall.hpp"

#include <cmath>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/time/TimerPublisher.hpp"

#include "tests/support/ManualClock.hpp"

namespace mornik {
namespace {

TEST(TimerCall, TicksFollowTheKindsOrder) {
  struct Case {
    int condTrueFromTick;  // stopCondition from 1; 0: continious, -1: oneTime
    std::vector<int> actionsAfterTick;
    bool validAtEnd;
  };
  for (const auto& c : {Case{0, {1, 2, 3}, true}, Case{-1, {1, 1, 1}, false},
                        Case{1, {0, 0, 0}, false}, Case{3, {1, 2, 2}, false}}) {
    SCOPED_TRACE(c.condTrueFromTick);
    test::ManualClock clock;
    int ticks = 0;
    int actions = 0;
    auto cond = [&, from = c.condTrueFromTick] { return ++ticks >= from; };
    const auto type = c.condTrueFromTick < 0   ? TimerCallType::oneTime(0.5)
                      : c.condTrueFromTick > 0 ? TimerCallType::stopCondition(0.5, cond)
                                               : TimerCallType::continious(0.5);
    auto call = TimerCall::make(type, [&] { ++actions; });
    for (const int expected : c.actionsAfterTick) {
      clock.advance(0.5);
      EXPECT_EQ(actions, expected);
    }
    EXPECT_EQ(call->isValid(), c.validAtEnd);
    call->invalidate();
    const std::weak_ptr<TimerCall> weak = call;
    call.reset();
    RunLoop::main().runFor(0);  // the loop drops an invalidated timer on its next pass
    EXPECT_TRUE(weak.expired()) << "invalidate releases the timer's hold";
  }
}

TEST(TimerCall, InvalidateEarlyTwiceFromInsideAndNonFiniteIntervals) {
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
  for (const double interval : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
    EXPECT_FALSE(TimerCall::make(TimerCallType::oneTime(interval), [&] { ++early; })->isValid());
  }
  clock.advance(1.0);
  clock.advance(1.0);
  EXPECT_EQ(early, 0);
  EXPECT_EQ(inside, 1);
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
  EXPECT_EQ(second, 1);                        // released after the first tick
  TimerPublisher(ticks).stopTimerPublisher();  // a copy stops the shared timer
  clock.advance(3.0);
  EXPECT_EQ(first.size(), 2U);
}

}  // namespace
}  // namespace mornik
