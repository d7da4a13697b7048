#include "mornik/time/Chron.hpp"

#include <atomic>
#include <cstdint>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "mornik/base/UUID.hpp"
#include "mornik/text/Date.hpp"
#include "mornik/time/detail/WallAlarms.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/ManualClock.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik {
namespace {

using detail::WallAlarms;

// The local time of day `ahead` seconds from the scheduler's wall clock.
ScheduleType::SingleTimeAt timeOfDayIn(double ahead) {
  const Date at = Date::fromUnixTimestamp(WallAlarms::now() + ahead);
  return {hour(at), minute(at), second(at)};
}

// Sets the wall clock through the scheduler's clock seam (a time namespace
// cannot move CLOCK_REALTIME, and setting the real one would disturb the
// machine); returns once the change was handled and its runs delivered.
void setWallClock(double offset) {
  const std::uint64_t before = WallAlarms::clockChangesHandled();
  WallAlarms::setTestOffset(offset);
  EXPECT_TRUE(test::waitFor([&] { return WallAlarms::clockChangesHandled() > before; }));
  RunLoop::main().runFor(0);
}

TEST(Chron, EveryRunsInsideScheduleUnlessSkippedThenOncePerPeriod) {
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  EXPECT_GE(ScheduleType::everyPeriod({kMax, 0, 0, false}), 9e18);
  EXPECT_GE(ScheduleType::everyPeriod({0, 0, kMax, false}), 9e18);
  struct Case {
    ScheduleType::Every e;
    double period;
  };
  for (const Case c : {Case{{0, 1, 30, false}, 90}, Case{{0, 1, 30, true}, 90},
                       Case{{0, 0, 0, true}, 1}, Case{{-1, 0, 5, false}, 1}}) {
    SCOPED_TRACE(c.period);
    EXPECT_EQ(ScheduleType::everyPeriod(c.e), c.period);
    test::ManualClock clock;
    auto chron = Chron::make();
    int runs = 0;
    std::string token;
    token = chron->schedule(ScheduleType::every(c.e.hrs, c.e.mins, c.e.sec, c.e.skipFirst), [&] {
      if (++runs == 3) chron->cancel(token);  // from inside the action
    });
    const int first = c.e.skipFirst ? 0 : 1;
    EXPECT_EQ(runs, first);
    clock.advance(c.period - 0.001);
    EXPECT_EQ(runs, first);
    clock.advance(0.001);
    clock.advance(c.period);
    EXPECT_EQ(runs, first + 2);
    chron->cancel(c.e.skipFirst ? token : "");
    clock.advance(c.period);
    clock.advance(c.period);
    EXPECT_EQ(runs, first + 2);
  }
}

// A real first run through the wall-clock timerfd, twice in a row.
TEST(Chron, SingleTimeAtRunsOnceOnTheMainThreadThenLeavesTheTable) {
  auto chron = Chron::make();
  for (int round = 0; round < 2; ++round) {
    int runs = 0;
    const auto soon = timeOfDayIn(1.0);
    const std::string token =
        chron->schedule(ScheduleType::singleTimeAt(soon.hrs, soon.mins, soon.sec), [&] {
          EXPECT_TRUE(RunLoop::current().isMain());
          ++runs;
        });
    EXPECT_TRUE(chron->contains(token));
    ASSERT_TRUE(test::waitFor([&] { return runs == 1; }));
    EXPECT_FALSE(chron->contains(token));
    chron->cancel(token);
    RunLoop::main().runFor(0.2);
    EXPECT_EQ(runs, 1);
  }
}

TEST(Chron, ClockChangesNeitherDoubleNorDropAFirstRunAndCancelledOnesNeverRun) {
  for (const bool daily : {false, true}) {
    SCOPED_TRACE(daily);
    test::ManualClock clock;  // for the daily repetition (the wall clock goes by the seam)
    auto chron = Chron::make();
    int runs = 0;
    int passedRuns = 0;
    const auto at = timeOfDayIn(1800);
    const std::string token =
        chron->schedule(daily ? ScheduleType::everyDay(at.hrs, at.mins, at.sec)
                              : ScheduleType::singleTimeAt(at.hrs, at.mins, at.sec),
                        [&] { ++runs; });
    // Passed today, so due tomorrow; the clock set back before it makes it
    // due today again.
    const auto passed = timeOfDayIn(-1800);
    chron->schedule(ScheduleType::singleTimeAt(passed.hrs, passed.mins, passed.sec),
                    [&] { ++passedRuns; });
    // Cancelled before its first run, or dropped with its Chron: never runs.
    const std::size_t alarms = WallAlarms::shared().count();
    chron->cancel(chron->schedule(ScheduleType::everyDayBeginning(), [&] { ++runs; }));
    (void)Chron::make()->schedule(ScheduleType::everyDay(0, 0, 0), [&] { ++runs; });
    EXPECT_EQ(WallAlarms::shared().count(), alarms);
    setWallClock(-3600);  // back an hour: still pending
    setWallClock(1700);   // forward, short of the time
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(passedRuns, 1);
    setWallClock(86400);  // forward a day, past the time: runs at once
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(chron->contains(token), daily);
    setWallClock(-3600);  // back before the time, then past it again
    setWallClock(86400);
    setWallClock(0);
    EXPECT_EQ(runs + passedRuns, 2);
    clock.advance(86400);  // the daily timer, on the monotonic clock
    EXPECT_EQ(runs, daily ? 2 : 1);
    chron->cancel(token);
  }
}

TEST(Chron, ScheduleAsyncFakeStartsADetachedTaskPerRun) {
  std::atomic<int> runs{0};
  auto chron = Chron::make();
  chron->scheduleAsyncFake(ScheduleType::every(0, 0, 1, false), [&]() -> Task<void> {
    EXPECT_FALSE(RunLoop::current().isMain());
    co_return (void)++ runs;
  });
  EXPECT_TRUE(test::waitFor([&] { return runs.load() == 1; }));
}

// 10,000 schedules from four threads that never run their loops (so their
// timers never fire): distinct canonical tokens (a repeated one would leave
// the table short), an exact table with no race under ThreadSanitizer, and
// no alarm left after cancelAll.
TEST(Chron, TenThousandSchedulesFromManyThreads) {
  auto chron = Chron::make();
  const std::size_t alarmsBefore = WallAlarms::shared().count();
  const int perThread = test::kUnderThreadSanitizer ? 500 : 2500;
  const auto at = timeOfDayIn(7200);
  std::atomic<int> runs{0};
  test::runConcurrently(4, [&](int index) {
    for (int i = 0; i < perThread; ++i) {
      const auto type = i % 4 < 2 ? ScheduleType::every(0, 0, 1, index % 2 == 0)
                                  : ScheduleType::singleTimeAt(at.hrs, at.mins, at.sec);
      const std::string token = chron->schedule(type, [&] { ++runs; });
      EXPECT_EQ(UUID::fromString(token)->uuidString(), token);
      if (i % 2 == 0) chron->cancel(token);
    }
  });
  EXPECT_EQ(chron->count(), static_cast<std::size_t>(2 * perThread));
  EXPECT_EQ(WallAlarms::shared().count(), alarmsBefore + perThread);
  RunLoop::main().runFor(1.5);
  EXPECT_EQ(runs.load(), perThread);  // the runs inside schedule() only
  chron->cancelAll();
  chron->cancelAll();
  EXPECT_EQ(chron->count(), 0U);
  EXPECT_EQ(WallAlarms::shared().count(), alarmsBefore);
}

}  // namespace
}  // namespace mornik
