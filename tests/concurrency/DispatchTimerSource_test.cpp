#include "mornik/concurrency/DispatchTimerSource.hpp"

#include <array>
#include <atomic>
#include <cmath>
#include <stdexcept>

#include <gtest/gtest.h>

#include "tests/support/ManualClock.hpp"

namespace mornik {
namespace {

// (When a timer fires, and on which queue: ExecutorClock in
// DispatchQueue_test.cpp.)
TEST(DispatchTimerSource, FiresOnceAndNeverAfterCancelReleaseOrANewDeadline) {
  test::ManualClock clock;
  std::array<std::atomic<int>, 4> fired{};
  auto armed = [&](int index, double seconds) {
    auto timer = DispatchTimerSource::make(DispatchQueue("test.timer"));
    timer->schedule(seconds);
    timer->setEventHandler([&fired, index] { fired[static_cast<std::size_t>(index)]++; });
    timer->resume();
    return timer;
  };
  auto once = armed(0, 1.0);
  once->resume();  // a second resume arms nothing more
  auto cancelled = armed(1, 1.0);
  cancelled->cancel();
  (void)armed(2, 1.0);  // released at once
  auto moved = armed(3, 10.0);
  moved->schedule(1.0);
  clock.advance(1.0);
  clock.advance(10.0);
  EXPECT_EQ(fired[0].load(), 1);
  EXPECT_EQ(fired[1].load(), 0);
  EXPECT_EQ(fired[2].load(), 0);
  EXPECT_EQ(fired[3].load(), 1) << "the first deadline was dropped";
  EXPECT_TRUE(cancelled->isCancelled());
  EXPECT_THROW(once->schedule(std::nan("")), std::invalid_argument);
}

}  // namespace
}  // namespace mornik
