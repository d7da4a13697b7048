#include "mornik/concurrency/DispatchTimerSource.hpp"

#include <atomic>
#include <chrono>
#include <cmath>
#include <stdexcept>

#include <gtest/gtest.h>

#include "tests/support/RunLoopWait.hpp"

namespace mornik {
namespace {

TEST(DispatchTimerSource, FiresOnceOnItsQueueNoEarlierThanTheDeadline) {
  DispatchQueue queue("test.timer");
  auto timer = DispatchTimerSource::make(queue);
  std::atomic<int> fired{0};
  std::atomic<bool> onQueue{false};
  std::atomic<bool> early{true};
  const auto armed = std::chrono::steady_clock::now();
  timer->schedule(0.02);
  timer->setEventHandler([&] {
    onQueue = DispatchQueue::currentLabel() == "test.timer";
    early = std::chrono::steady_clock::now() - armed < std::chrono::milliseconds(20);
    fired.fetch_add(1);
  });
  timer->resume();
  timer->resume();  // a second resume arms nothing more
  ASSERT_TRUE(test::waitFor([&] { return fired.load() == 1; }));
  EXPECT_TRUE(onQueue.load());
  EXPECT_FALSE(early.load());
  // Nothing else arrives: wait past a would-be second firing.
  EXPECT_FALSE(test::waitFor([&] { return fired.load() > 1; }, 0.05));
}

TEST(DispatchTimerSource, CancelledOrReleasedTimersNeverFire) {
  std::atomic<int> fired{0};
  auto cancelled = DispatchTimerSource::make(DispatchQueue::global());
  cancelled->schedule(0.01);
  cancelled->setEventHandler([&] { fired.fetch_add(1); });
  cancelled->resume();
  cancelled->cancel();
  {
    auto released = DispatchTimerSource::make(DispatchQueue::global());
    released->schedule(0.01);
    released->setEventHandler([&] { fired.fetch_add(1); });
    released->resume();
  }
  // A control timer armed later than both shows that their time has passed.
  std::atomic<bool> control{false};
  auto later = DispatchTimerSource::make(DispatchQueue::global());
  later->schedule(0.05);
  later->setEventHandler([&] { control = true; });
  later->resume();
  ASSERT_TRUE(test::waitFor([&] { return control.load(); }));
  EXPECT_EQ(fired.load(), 0);
  EXPECT_TRUE(cancelled->isCancelled());
}

TEST(DispatchTimerSource, SchedulingAgainReplacesTheDeadline) {
  std::atomic<int> fired{0};
  auto timer = DispatchTimerSource::make(DispatchQueue::global());
  timer->setEventHandler([&] { fired.fetch_add(1); });
  timer->schedule(10.0);
  timer->resume();
  timer->schedule(0.01);
  EXPECT_TRUE(test::waitFor([&] { return fired.load() == 1; }, 5.0));
  EXPECT_THROW(timer->schedule(std::nan("")), std::invalid_argument);
}

}  // namespace
}  // namespace mornik
