#include "mornik/concurrency/RunLoop.hpp"

#include <atomic>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/DispatchSemaphore.hpp"

#include "tests/support/RunLoopWait.hpp"

namespace mornik {
namespace {

TEST(RunLoop, OneLoopPerThreadRunUntilAndStop) {
  EXPECT_EQ(&RunLoop::current(), &RunLoop::main());
  EXPECT_TRUE(RunLoop::main().isMain());
  RunLoop* other = nullptr;
  std::thread([&] { other = &RunLoop::current(); }).join();
  EXPECT_NE(other, &RunLoop::main());
  // runUntil reports the predicate, or false after its timeout.
  std::atomic<bool> flag{false};
  DispatchQueue::global().asyncAfter(0.01, [&] { flag = true; });
  EXPECT_TRUE(RunLoop::main().runUntil([&] { return flag.load(); }, test::kEventTimeout));
  const auto before = std::chrono::steady_clock::now();
  EXPECT_FALSE(RunLoop::main().runUntil([] { return false; }, 0.02));
  EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(20));
  EXPECT_THROW((void)RunLoop::main().runUntil([] { return true; }, std::nan("")),
               std::invalid_argument);
  // stop() from another thread ends run(); main-queue work ran meanwhile.
  std::atomic<bool> ran{false};
  DispatchQueue::global().async([&] {
    DispatchQueue::main().async([&] { ran = true; });
    DispatchQueue::global().asyncAfter(0.01, [] { RunLoop::main().stop(); });
  });
  RunLoop::main().run();
  EXPECT_TRUE(ran.load());
}

TEST(RunLoopTimer, RepeatingTimerFiresOnTheOwningThreadUntilInvalidated) {
  std::atomic<int> ticks{0};
  std::atomic<bool> wrongThread{false};
  std::thread owner([&] {
    const auto self = std::this_thread::get_id();
    auto timer = RunLoopTimer::scheduled(0.002, true, [&](RunLoopTimer& t) {
      if (std::this_thread::get_id() != self) wrongThread = true;
      if (ticks.fetch_add(1) + 1 == 5) t.invalidate();
    });
    RunLoop::current().runUntil([&] { return !timer->isValid(); }, test::kEventTimeout);
    // Invalidated: running on fires nothing more.
    RunLoop::current().runFor(0.02);
  });
  owner.join();
  EXPECT_EQ(ticks.load(), 5);
  EXPECT_FALSE(wrongThread.load());
}

// A one-shot timer fires once, not early, and is then invalid; a timer
// invalidated before its first tick, or on a thread that never runs its
// loop, never fires. (A real wait is the point: time passes, nothing fires.)
TEST(RunLoopTimer, FiresOnlyWhenDueValidAndItsLoopRuns) {
  int fired = 0;
  int invalidatedFired = 0;
  std::atomic<int> idleFired{0};
  DispatchSemaphore created;
  DispatchSemaphore finish;
  std::thread idle([&] {
    auto timer = RunLoopTimer::scheduled(0.001, true, [&](RunLoopTimer&) { idleFired++; });
    created.signal();
    finish.wait();  // blocks without running the loop
  });
  created.wait();
  auto invalidated =
      RunLoopTimer::scheduled(0.005, true, [&](RunLoopTimer&) { ++invalidatedFired; });
  invalidated->invalidate();
  const auto start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::duration firedAfter{};
  auto timer = RunLoopTimer::scheduled(0.01, false, [&](RunLoopTimer& t) {
    firedAfter = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(t.isValid());
    ++fired;
  });
  EXPECT_TRUE(test::waitFor([&] { return fired == 1; }));
  EXPECT_GE(firedAfter, std::chrono::milliseconds(10));
  RunLoop::main().runFor(0.03);
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(invalidatedFired + idleFired.load(), 0);
  finish.signal();
  idle.join();
  EXPECT_THROW(RunLoopTimer::scheduled(HUGE_VAL, false, [](RunLoopTimer&) {}),
               std::invalid_argument);
}

TEST(RunLoopDeathTest, RunningAnotherThreadsLoopAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(std::thread([] { RunLoop::main().runFor(0.01); }).join(),
               "may only be run by its own thread");
}

}  // namespace
}  // namespace mornik
