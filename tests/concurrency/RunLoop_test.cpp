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

TEST(RunLoop, EachThreadHasItsOwnLoopAndTheMainLoopIsTheInitialThreads) {
  EXPECT_EQ(&RunLoop::current(), &RunLoop::main());
  EXPECT_TRUE(RunLoop::main().isMain());
  RunLoop* other = nullptr;
  std::thread([&] { other = &RunLoop::current(); }).join();
  EXPECT_NE(other, &RunLoop::main());
}

TEST(RunLoop, RunUntilReportsThePredicateOrTheTimeout) {
  std::atomic<bool> flag{false};
  DispatchQueue::global().asyncAfter(0.01, [&] { flag = true; });
  EXPECT_TRUE(RunLoop::main().runUntil([&] { return flag.load(); }, test::kEventTimeout));
  const auto before = std::chrono::steady_clock::now();
  EXPECT_FALSE(RunLoop::main().runUntil([] { return false; }, 0.02));
  EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(20));
  EXPECT_THROW((void)RunLoop::main().runUntil([] { return true; }, std::nan("")),
               std::invalid_argument);
}

TEST(RunLoop, StopFromAnotherThreadEndsRun) {
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
    EXPECT_TRUE(timer->repeats());
    RunLoop::current().runUntil([&] { return !timer->isValid(); }, test::kEventTimeout);
    // Invalidated: running on fires nothing more.
    RunLoop::current().runFor(0.02);
  });
  owner.join();
  EXPECT_EQ(ticks.load(), 5);
  EXPECT_FALSE(wrongThread.load());
}

TEST(RunLoopTimer, OneShotTimerFiresOnceAndIsThenInvalid) {
  int fired = 0;
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
  EXPECT_FALSE(timer->isValid());
}

TEST(RunLoopTimer, InvalidatedBeforeItsFirstTickNeverFires) {
  int fired = 0;
  auto timer = RunLoopTimer::scheduled(0.005, true, [&](RunLoopTimer&) { ++fired; });
  timer->invalidate();
  RunLoop::main().runFor(0.03);
  EXPECT_EQ(fired, 0);
  EXPECT_THROW(RunLoopTimer::scheduled(HUGE_VAL, false, [](RunLoopTimer&) {}),
               std::invalid_argument);
}

TEST(RunLoopTimer, AThreadThatNeverRunsItsLoopNeverSeesItsTimersFire) {
  std::atomic<int> fired{0};
  DispatchSemaphore created;
  DispatchSemaphore finish;
  std::thread idle([&] {
    auto timer = RunLoopTimer::scheduled(0.001, true, [&](RunLoopTimer&) { fired.fetch_add(1); });
    created.signal();
    finish.wait();  // blocks without running the loop
  });
  created.wait();
  // A real wait is the point here: time passes and nothing may fire.
  RunLoop::main().runFor(0.03);
  EXPECT_EQ(fired.load(), 0);
  finish.signal();
  idle.join();
}

TEST(RunLoopDeathTest, RunningAnotherThreadsLoopAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(std::thread([] { RunLoop::main().runFor(0.01); }).join(),
               "may only be run by its own thread");
}

}  // namespace
}  // namespace mornik
