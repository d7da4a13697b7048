#include "mornik/time/Chron.hpp"

#include <atomic>
#include <cstdint>
#include <limits>
#include <regex>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "mornik/log/Debug.hpp"
#include "mornik/text/Date.hpp"
#include "mornik/time/detail/WallAlarms.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/ManualClock.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik {
namespace {

using detail::WallAlarms;

// The local time of day `ahead` seconds from the wall clock the scheduler
// reads.
ScheduleType::SingleTimeAt timeOfDayIn(double ahead) {
  const Date at = Date::fromUnixTimestamp(WallAlarms::now() + ahead);
  return {hour(at), minute(at), second(at)};
}

// Simulates setting the wall clock through the scheduler's clock seam (a
// time namespace cannot move CLOCK_REALTIME), and waits until the scheduler
// has handled the change (its debug line).
class WallClockSeam {
 public:
  WallClockSeam() {
    setDebugSink([this](std::string_view text) {
      if (text.find("wall clock changed") != std::string_view::npos) changes_.fetch_add(1);
    });
  }
  ~WallClockSeam() {
    WallAlarms::setTestOffset(0);
    ++expected_;
    EXPECT_TRUE(test::waitFor([&] { return changes_.load() == expected_; }));
    setDebugSink(nullptr);
  }
  WallClockSeam(const WallClockSeam&) = delete;
  WallClockSeam& operator=(const WallClockSeam&) = delete;

  void set(double offset) {
    WallAlarms::setTestOffset(offset);
    ++expected_;
    ASSERT_TRUE(test::waitFor([&] { return changes_.load() == expected_; }));
    RunLoop::main().runFor(0);  // what the change handed to the main queue
  }

 private:
  std::atomic<int> changes_{0};
  int expected_ = 0;
};

TEST(Chron, EveryRunsInsideScheduleUnlessSkippedThenOncePerPeriod) {
  struct Case {
    bool skipFirst;
    std::int64_t hrs, mins, sec;
    double period;
  };
  for (const Case c : {Case{false, 0, 1, 30, 90}, Case{true, 0, 1, 30, 90}, Case{true, 0, 0, 0, 1},
                       Case{false, 0, 0, -5, 1}}) {
    SCOPED_TRACE(c.period);
    test::ManualClock clock;
    auto chron = Chron::make();
    int runs = 0;
    const std::string token =
        chron->schedule(ScheduleType::every(c.hrs, c.mins, c.sec, c.skipFirst), [&] { ++runs; });
    const int first = c.skipFirst ? 0 : 1;
    EXPECT_EQ(runs, first);
    clock.advance(c.period - 0.001);
    EXPECT_EQ(runs, first);
    clock.advance(0.001);
    EXPECT_EQ(runs, first + 1);
    clock.advance(c.period);
    EXPECT_EQ(runs, first + 2);
    chron->cancel(token);
    chron->cancel(token);  // twice: nothing more
    clock.advance(c.period * 3);
    EXPECT_EQ(runs, first + 2);
    EXPECT_FALSE(chron->contains(token));
  }
}

TEST(Chron, EveryPeriodHasAOneSecondFloorAndSaturatesPast64Bits) {
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ(ScheduleType::everyPeriod({0, 0, 0, false}), 1.0);
  EXPECT_EQ(ScheduleType::everyPeriod({-1, 0, 0, false}), 1.0);
  EXPECT_EQ(ScheduleType::everyPeriod({1, 2, 3, false}), 3723.0);
  EXPECT_GE(ScheduleType::everyPeriod({kMax, 0, 0, false}), 9e18);
  EXPECT_GE(ScheduleType::everyPeriod({0, 0, kMax, false}), 9e18);
}

TEST(Chron, CancelInsideTheActionAndCancelAll) {
  test::ManualClock clock;
  auto chron = Chron::make();
  int selfCancelling = 0;
  int other = 0;
  std::string token;
  token = chron->schedule(ScheduleType::every(0, 0, 1, true), [&] {
    ++selfCancelling;
    chron->cancel(token);
    chron->cancel(token);
  });
  chron->schedule(ScheduleType::every(0, 0, 2, true), [&] { ++other; });
  clock.advance(1.0);
  clock.advance(1.0);
  EXPECT_EQ(selfCancelling, 1);
  EXPECT_EQ(other, 1);
  EXPECT_EQ(chron->count(), 1U);
  chron->cancelAll();
  chron->cancelAll();
  clock.advance(4.0);
  EXPECT_EQ(other, 1);
  EXPECT_EQ(chron->count(), 0U);
}

TEST(Chron, TokensAreDistinctUpperCaseUuidsAndTenThousandCancel) {
  auto chron = Chron::make();
  const std::size_t alarmsBefore = WallAlarms::shared().count();
  const std::regex uuid("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  std::set<std::string> tokens;
  const auto later = timeOfDayIn(7200);
  for (int i = 0; i < 10'000; ++i) {
    tokens.insert(chron->schedule(ScheduleType::singleTimeAt(later.hrs, later.mins, later.sec),
                                  [] { ADD_FAILURE() << "cancelled schedule ran"; }));
  }
  EXPECT_EQ(tokens.size(), 10'000U);
  EXPECT_TRUE(std::regex_match(*tokens.begin(), uuid)) << *tokens.begin();
  EXPECT_EQ(chron->count(), 10'000U);
  EXPECT_EQ(WallAlarms::shared().count(), alarmsBefore + 10'000);
  chron->cancelAll();
  EXPECT_EQ(chron->count(), 0U);
  EXPECT_EQ(WallAlarms::shared().count(), alarmsBefore);
}

// A real first run through the wall-clock timer, twice in a row.
TEST(Chron, SingleTimeAtRunsOnceOnTheMainThreadThenLeavesTheTable) {
  auto chron = Chron::make();
  for (int round = 0; round < 2; ++round) {
    std::atomic<int> runs{0};
    bool onMain = false;
    const auto soon = timeOfDayIn(1.0);
    const std::string token =
        chron->schedule(ScheduleType::singleTimeAt(soon.hrs, soon.mins, soon.sec), [&] {
          onMain = RunLoop::current().isMain();
          ++runs;
        });
    EXPECT_TRUE(chron->contains(token));
    ASSERT_TRUE(test::waitFor([&] { return runs.load() == 1; }));
    EXPECT_TRUE(onMain);
    EXPECT_FALSE(chron->contains(token));
    chron->cancel(token);  // after its run: nothing
    RunLoop::main().runFor(0.2);
    EXPECT_EQ(runs.load(), 1);
  }
}

// Clock changes while a first run is pending, through the clock seam.
TEST(Chron, ClockChangesNeitherDoubleNorDropAFirstRun) {
  for (const bool daily : {false, true}) {
    SCOPED_TRACE(daily ? "everyDay" : "singleTimeAt");
    WallClockSeam seam;
    auto chron = Chron::make();
    int runs = 0;
    const auto at = timeOfDayIn(1800);
    const std::string token =
        chron->schedule(daily ? ScheduleType::everyDay(at.hrs, at.mins, at.sec)
                              : ScheduleType::singleTimeAt(at.hrs, at.mins, at.sec),
                        [&] { ++runs; });
    seam.set(-3600);  // back an hour: still pending
    EXPECT_EQ(runs, 0);
    seam.set(1700);  // forward, short of the time
    EXPECT_EQ(runs, 0);
    seam.set(86400);  // forward a day, past it: runs at once
    ASSERT_TRUE(test::waitFor([&] { return runs == 1; }));
    EXPECT_EQ(chron->contains(token), daily);
    seam.set(-3600);  // back before the time, and past it again
    seam.set(86400);
    RunLoop::main().runFor(0.2);
    EXPECT_EQ(runs, 1);
    chron->cancel(token);
  }
}

TEST(Chron, EarlyCancelOfEveryDayBeginningAndDestroyedChronNeverRun) {
  WallClockSeam seam;
  const std::size_t alarmsBefore = WallAlarms::shared().count();
  int runs = 0;
  auto chron = Chron::make();
  const std::string token = chron->schedule(ScheduleType::everyDayBeginning(), [&] { ++runs; });
  EXPECT_TRUE(chron->contains(token));
  chron->cancel(token);
  auto dropped = Chron::make();
  (void)dropped->schedule(ScheduleType::everyDay(0, 0, 0), [&] { ++runs; });
  dropped.reset();
  EXPECT_EQ(WallAlarms::shared().count(), alarmsBefore);
  seam.set(2 * 86400);
  RunLoop::main().runFor(0.2);
  EXPECT_EQ(runs, 0);
}

TEST(Chron, ScheduleAsyncFakeStartsADetachedTaskPerRun) {
  test::ManualClock clock;
  std::atomic<int> runs{0};
  auto chron = Chron::make();
  const std::string token =
      chron->scheduleAsyncFake(ScheduleType::every(0, 0, 1, false), [&]() -> Task<void> {
        ++runs;
        co_return;
      });
  EXPECT_TRUE(test::waitFor([&] { return runs.load() == 1; }));
  clock.advance(1.0);
  EXPECT_TRUE(test::waitFor([&] { return runs.load() == 2; }));
  chron->cancel(token);
}

TEST(Chron, SharedIsCreatedOnceAndReplaceable) {
  auto first = Chron::shared();
  EXPECT_EQ(Chron::shared(), first);
  auto mine = Chron::make();
  Chron::setShared(mine);
  EXPECT_EQ(Chron::shared(), mine);
  Chron::setShared(nullptr);
  EXPECT_NE(Chron::shared(), mine);
}

// Threads that never run their loops schedule and cancel at once; the
// table stays exact (and the sanitizer sees no race).
TEST(Chron, SchedulesAndCancelsFromManyThreads) {
  auto chron = Chron::make();
  const int perThread = test::kUnderThreadSanitizer ? 200 : 2000;
  std::atomic<int> ranInside{0};
  test::runConcurrently(4, [&](int index) {
    for (int i = 0; i < perThread; ++i) {
      const std::string token = chron->schedule(ScheduleType::every(0, 0, 60, index % 2 == 0),
                                                [&] { ranInside.fetch_add(1); });
      if (i % 2 == 0) chron->cancel(token);
      if (index == 3 && i % 500 == 0) chron->count();
    }
  });
  EXPECT_EQ(chron->count(), static_cast<std::size_t>(2 * perThread));
  EXPECT_EQ(ranInside.load(), 2 * perThread);
  chron->cancelAll();
  EXPECT_EQ(chron->count(), 0U);
}

}  // namespace
}  // namespace mornik
