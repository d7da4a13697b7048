#include "mornik/concurrency/MutexRecursiveLock.hpp"

#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/Concurrently.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik {
namespace {

// The owner may nest; other threads are kept out until the last release,
// and a throwing nested block releases every level.
TEST(MutexRecursiveLock, TheOwnerNestsAndOthersWaitForTheLastRelease) {
  MutexRecursiveLock lock;
  bool acquired = true;
  auto probe = [&] {
    std::thread([&] {
      acquired = lock.try_lock();
      if (acquired) lock.unlock();
    }).join();
    return acquired;
  };
  EXPECT_EQ(lock.locked([&] { return lock.locked([&] { return lock.locked([] { return 3; }); }); }),
            3);
  lock.lock();
  lock.lock();
  lock.unlock();
  EXPECT_FALSE(probe()) << "one release of two must keep the lock held";
  lock.unlock();
  EXPECT_TRUE(probe());
  EXPECT_THROW(lock.locked([&] { lock.locked([]() { throw std::runtime_error("inner"); }); }),
               std::runtime_error);
  EXPECT_TRUE(probe());
}

TEST(MutexRecursiveLock, StressMutualExclusion) {
  MutexRecursiveLock lock;
  const int threads = 4;
  const int iterations = test::scaled(20000);
  long counter = 0;
  test::runConcurrently(threads, [&](int /*thread*/) {
    for (int i = 0; i < iterations; ++i) {
      lock.locked([&] { lock.locked([&] { ++counter; }); });
    }
  });
  EXPECT_EQ(counter, static_cast<long>(threads) * iterations);
}

TEST(MutexRecursiveLockDeathTest, UnlockFromANonOwnerAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // Under ThreadSanitizer its pthread interceptor reports the foreign unlock
  // (and halts) before our own check runs; either diagnostic is the catch.
  EXPECT_DEATH(
      {
        MutexRecursiveLock lock;
        lock.lock();
        std::thread([&] { lock.unlock(); }).join();
      },
      test::kUnderThreadSanitizer ? "does not hold the lock|unlock of an unlocked mutex"
                                  : "does not hold the lock");
}

}  // namespace
}  // namespace mornik
