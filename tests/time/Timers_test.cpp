#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/base/Describe.hpp"
#include "mornik/log/Debug.hpp"
#include "mornik/time/Stopwatch.hpp"
#include "mornik/time/TimerCall.hpp"
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
  EXPECT_EQ(second, 1);                        // released after the first tick
  TimerPublisher(ticks).stopTimerPublisher();  // a copy stops the shared timer
  clock.advance(3.0);
  EXPECT_EQ(first.size(), 2U);
}

TEST(Stopwatch, StatesElapsedTimeAndPrintedText) {
  std::vector<std::string> lines;
  setDebugSink([&](std::string_view text) { lines.emplace_back(text); });
  auto watch = Stopwatch::make();
  watch->stop();  // without a start
  watch->printS();
  watch->printMs("idle");
  watch->start("load").start();
  const double firstStart = *watch->startTime();
  const double running = watch->elapsedS();
  while (watch->elapsedS() == running) {
  }
  watch->stop();
  const double frozen = watch->elapsedS();
  EXPECT_EQ(watch->elapsedS(), frozen);
  watch->printMs();
  watch->start();  // keeps the old start: the stopped stretch counts
  EXPECT_EQ(*watch->startTime(), firstStart);
  watch->restart();
  EXPECT_GT(*watch->startTime(), firstStart);
  watch->reset();
  EXPECT_EQ(watch->elapsedS(), 0.0);
  setDebugSink(nullptr);
  const std::vector<std::string> expected{"0.0 sec\n", "idle: 0.0 ms\n", "load\n",
                                          describeDouble(frozen * 1000) + " ms\n"};
  EXPECT_EQ(lines, expected);
}

TEST(Stopwatch, RoundedToPlacesHalfAwayFromZero) {
  EXPECT_EQ(rounded(1.005, 2), 1.0);  // 100.49999... in double precision
  EXPECT_EQ(rounded(2.5, 0), 3.0);
  EXPECT_EQ(rounded(-2.5, 0), -3.0);
  EXPECT_EQ(rounded(1234.5, -2), 1200.0);
}

}  // namespace
}  // namespace mornik
