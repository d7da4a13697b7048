#include "mornik/concurrency/DispatchSemaphore.hpp"

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/Concurrently.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik {
namespace {

TEST(DispatchSemaphore, ASignalBeforeTheWaitIsKept) {
  DispatchSemaphore semaphore;
  EXPECT_FALSE(semaphore.signal());
  semaphore.wait();
  EXPECT_FALSE(semaphore.wait(0.0));
}

TEST(DispatchSemaphore, SignalWakesAWaiterAndPublishesItsWrites) {
  DispatchSemaphore semaphore;
  int payload = 0;
  std::thread signaller([&] {
    payload = 42;
    semaphore.signal();
  });
  semaphore.wait();
  EXPECT_EQ(payload, 42);
  signaller.join();
}

TEST(DispatchSemaphore, TimedWaitTimesOutNoEarlierThanAskedAndWithdraws) {
  DispatchSemaphore semaphore;
  const auto before = std::chrono::steady_clock::now();
  EXPECT_FALSE(semaphore.wait(0.02));
  EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(20));
  // The timed-out waiter no longer counts: one signal serves the next wait.
  EXPECT_FALSE(semaphore.signal());
  EXPECT_TRUE(semaphore.wait(0.0));
  EXPECT_FALSE(semaphore.wait(std::nan("")));
}

TEST(DispatchSemaphore, TimedWaitReturnsTrueWhenSignalledInTime) {
  DispatchSemaphore semaphore;
  std::thread signaller([&] { semaphore.signal(); });
  EXPECT_TRUE(semaphore.wait(30.0));
  signaller.join();
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
