#include "mornik/concurrency/UnfairLock.hpp"

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/Concurrently.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik {
namespace {

// locked(), try_lock, a standard guard and a moved lock each take and
// release it; a throwing block releases it and passes the exception on; a
// lock held by another thread cannot be tried.
TEST(UnfairLock, EveryWayOfTakingItReleasesIt) {
  UnfairLock lock;
  EXPECT_EQ(lock.locked([] { return 42; }), 42);
  EXPECT_FALSE(lock.isLocked());
  EXPECT_THROW(lock.locked([]() -> int { throw std::out_of_range("index 9"); }), std::out_of_range);
  EXPECT_FALSE(lock.isLocked());
  EXPECT_TRUE(lock.try_lock());
  bool acquired = true;
  std::thread([&] { acquired = lock.try_lock(); }).join();
  EXPECT_FALSE(acquired);
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

// A waiter that went to sleep on the futex wakes at the unlock. (The stress
// below rarely gets a waiter that far on a loaded machine.)
TEST(UnfairLock, AWaiterBlockedInLockProceedsAfterUnlock) {
  UnfairLock lock;
  std::atomic<bool> entered{false};
  lock.lock();
  std::thread waiter([&] { lock.locked([&] { entered = true; }); });
  // Only widens the window in which the waiter spins and then sleeps on the
  // futex; the assertions do not depend on it.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(entered.load());
  lock.unlock();
  waiter.join();
  EXPECT_TRUE(entered.load());
}

// Threads hammer one lock; a plain counter and an occupancy count check
// mutual exclusion after every step and the exact total at the end. Long
// critical sections push waiters past the spin into the futex sleep.
TEST(UnfairLockStress, MutualExclusionAndExactTotal) {
  const int threads = 4;
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

TEST(UnfairLockDeathTest, MisuseAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        UnfairLock lock;
        lock.locked([&] { lock.lock(); });
      },
      "taken twice on one thread");
  EXPECT_DEATH(
      {
        UnfairLock lock;
        lock.lock();
        std::thread([&] { lock.unlock(); }).join();
      },
      "does not hold the lock");
  EXPECT_DEATH(UnfairLock().unlock(), "not locked");
}

}  // namespace
}  // namespace mornik
