#include "mornik/concurrency/DispatchSemaphore.hpp"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/Concurrently.hpp"
#include "tests/support/ManualClock.hpp"
#include "tests/support/Sanitizers.hpp"
#include "tests/support/TestHook.hpp"

namespace mornik {
namespace {

TEST(DispatchSemaphore, ATimedWaitEndsAtItsDeadlineAndWithdraws) {
  test::ManualClock clock;
  DispatchSemaphore semaphore;
  std::atomic<std::int64_t> waited{-1};  // on the test clock
  std::thread waiter([&] {
    const std::int64_t start = detail::monotonicNowNs();
    if (!semaphore.wait(std::chrono::seconds(1))) waited = detail::monotonicNowNs() - start;
  });
  // The waiter starts whenever its thread runs: step until it timed out.
  for (int step = 0; step < 100 && waited.load() < 0; ++step) {
    clock.advance(0.25);
    (void)test::waitFor([&] { return waited.load() >= 0; }, 0.005);
  }
  waiter.join();
  EXPECT_GE(waited.load(), 1'000'000'000) << "timed out early";
  // The timed-out waiter no longer counts: one signal serves the next wait.
  EXPECT_FALSE(semaphore.signal());
  EXPECT_TRUE(semaphore.wait(0.0));
  EXPECT_FALSE(semaphore.wait(std::nan("")));
  std::thread signaller([&] { semaphore.signal(); });
  EXPECT_TRUE(semaphore.wait(30.0));  // signalled in time
  signaller.join();
}

// A signal that lands between a wait's timeout and its withdrawal was counted
// for that waiter: the wait takes it instead of losing it.
TEST(DispatchSemaphore, ASignalRacingATimeoutGoesToTheWaiter) {
  DispatchSemaphore semaphore;
  std::atomic<int> hits{0};
  test::HookAt hook(detail::TestPoint::semaphoreTimedOut, [&](const void*) {
    if (hits.fetch_add(1) == 0) {
      EXPECT_TRUE(semaphore.signal());
    }
  });
  EXPECT_TRUE(semaphore.wait(0.0));
  EXPECT_FALSE(semaphore.wait(0.0));
  EXPECT_EQ(hits.load(), 2);
}

// Producers signal a known number of times while consumers take units with
// short timed waits (some time out and retry): every unit is taken exactly
// once and none is left over.
TEST(DispatchSemaphore, StressUnitsAreNeitherLostNorDuplicated) {
  const int producers = 3;
  const int consumers = 3;
  const int perProducer = test::scaled(20000);
  const int total = producers * perProducer;
  DispatchSemaphore semaphore;
  std::atomic<int> taken{0};
  test::runConcurrently(producers + consumers, [&](int t) {
    if (t < producers) {
      for (int i = 0; i < perProducer; ++i) semaphore.signal();
      return;
    }
    while (taken.load() < total) {
      const bool got = t == producers ? semaphore.wait(0.0001) : semaphore.wait(0.001);
      if (got) taken.fetch_add(1);
    }
  });
  EXPECT_EQ(taken.load(), total);
  EXPECT_FALSE(semaphore.wait(0.0));
}

}  // namespace
}  // namespace mornik
