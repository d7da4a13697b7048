#include "mornik/concurrency/UnfairLock.hpp"

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/Concurrently.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik {
namespace {

// locked(), try_lock, a standard guard and a moved lock each take and
// release it.
TEST(UnfairLock, EveryWayOfTakingItReleasesIt) {
  UnfairLock lock;
  EXPECT_EQ(lock.locked([] { return 42; }), 42);
  EXPECT_FALSE(lock.isLocked());
  EXPECT_TRUE(lock.try_lock());
  EXPECT_TRUE(lock.isLocked());
  lock.unlock();
  {
    std::unique_lock guard(lock);
    EXPECT_TRUE(lock.isLocked());
  }
  EXPECT_FALSE(lock.isLocked());
  UnfairLock moved(std::move(lock));
  UnfairLock assigned;
  assigned = std::move(moved);
  EXPECT_EQ(assigned.locked([] { return 4; }), 4);
  EXPECT_FALSE(assigned.isLocked());
}

TEST(UnfairLock, ThrowingBlockReleasesTheLockAndTheExceptionArrivesUnchanged) {
  UnfairLock lock;
  try {
    lock.locked([]() -> int { throw std::out_of_range("index 9"); });
    FAIL() << "the exception was swallowed";
  } catch (const std::out_of_range& error) {
    EXPECT_STREQ(error.what(), "index 9");
  }
  EXPECT_FALSE(lock.isLocked());
  EXPECT_EQ(lock.locked([] { return 1; }), 1);
}

TEST(UnfairLock, TryLockFailsWhileAnotherThreadHoldsIt) {
  UnfairLock lock;
  lock.lock();
  bool acquired = true;
  std::thread([&] { acquired = lock.try_lock(); }).join();
  EXPECT_FALSE(acquired);
  lock.unlock();
  std::thread([&] {
    acquired = lock.try_lock();
    if (acquired) lock.unlock();
  }).join();
  EXPECT_TRUE(acquired);
}

TEST(UnfairLock, AWaiterBlockedInLockProceedsAfterUnlock) {
  UnfairLock lock;
  std::atomic<bool> entered{false};
  lock.lock();
  std::thread waiter([&] { lock.locked([&] { entered = true; }); });
  // Only widens the window in which the waiter spins and then sleeps on the
  // futex; the assertion below does not depend on it.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(entered.load());
  lock.unlock();
  waiter.join();
  EXPECT_TRUE(entered.load());
  EXPECT_FALSE(lock.isLocked());
}

// Threads hammer one lock; a plain counter and an occupancy count check
// mutual exclusion after every step and the exact total at the end. Long
// critical sections push waiters past the spin into the futex sleep.
class UnfairLockStress : public testing::TestWithParam<int> {};

TEST_P(UnfairLockStress, MutualExclusionAndExactTotal) {
  const int threads = GetParam();
  const int iterations = test::scaled(20000);
  UnfairLock lock;
  long counter = 0;
  int inside = 0;
  std::atomic<int> violations{0};
  test::runConcurrently(threads, [&](int t) {
    for (int i = 0; i < iterations; ++i) {
      lock.locked([&] {
        if (++inside != 1) violations.fetch_add(1);
        ++counter;
        if (t == 0 && i % 512 == 0) {
          // An occasional long hold sends the others to sleep.
          for (int spin = 0; spin < 20000; ++spin) {
            std::atomic_signal_fence(std::memory_order_seq_cst);
          }
        }
        --inside;
      });
    }
  });
  EXPECT_EQ(violations.load(), 0);
  EXPECT_EQ(counter, static_cast<long>(threads) * iterations);
  EXPECT_FALSE(lock.isLocked());
}

INSTANTIATE_TEST_SUITE_P(Threads, UnfairLockStress, testing::Values(2, 4, 8));

using UnfairLockDeathTest = testing::Test;

TEST_F(UnfairLockDeathTest, TakingItTwiceOnOneThreadAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        UnfairLock lock;
        lock.locked([&] { lock.lock(); });
      },
      "taken twice on one thread");
}

TEST_F(UnfairLockDeathTest, UnlockFromAnotherThreadAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        UnfairLock lock;
        lock.lock();
        std::thread([&] { lock.unlock(); }).join();
      },
      "does not hold the lock");
}

TEST_F(UnfairLockDeathTest, UnlockOfAnUnlockedLockAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        UnfairLock lock;
        lock.unlock();
      },
      "not locked");
}

}  // namespace
}  // namespace mornik
