#include "mornik/concurrency/DispatchGroup.hpp"

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/RunLoopWait.hpp"
#include "tests/support/TestHook.hpp"

namespace mornik {
namespace {

TEST(DispatchGroup, NotifyRunsOnItsQueueWhenTheCountReachesZero) {
  DispatchGroup group;
  std::atomic<int> notified{0};
  group.enter();
  group.notify(DispatchQueue::main(), [&] {
    if (DispatchQueue::current() == DispatchQueue::main()) notified.fetch_add(1);
  });
  EXPECT_FALSE(test::waitFor([&] { return notified.load() > 0; }, 0.02));
  std::thread([&] { group.leave(); }).join();
  EXPECT_TRUE(test::waitFor([&] { return notified.load() == 1; }));
  group.notify(DispatchQueue::main(), [&] { notified.fetch_add(1); });  // empty now: at once
  EXPECT_TRUE(test::waitFor([&] { return notified.load() == 2; }));
}

// A wait that times out says so; a leave() between the waiter's last look
// at the count and its sleep must still wake it (a lost wake-up would sleep
// to the timeout).
TEST(DispatchGroup, ALeaveJustBeforeTheWaiterSleepsWakesIt) {
  DispatchGroup group;
  group.enter();
  EXPECT_FALSE(group.wait(0.01));
  std::atomic<bool> left{false};
  test::HookAt hook(detail::TestPoint::groupWaitSleeps, [&](const void*) {
    if (!left.exchange(true)) group.leave();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(group.wait(test::kEventTimeout));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5))
      << "woke only at the timeout: the leave's wake-up was lost";
}

TEST(DispatchGroupDeathTest, LeaveWithoutEnterAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(DispatchGroup().leave(), "leave\\(\\) without a matching enter\\(\\)");
}

}  // namespace
}  // namespace mornik
