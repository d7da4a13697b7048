#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "mornik/concurrency/BlockingWait.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/flow/future/Future.hpp"

#include "tests/support/ResultMatchers.hpp"
#include "tests/support/RunLoopWait.hpp"

namespace mornik {
namespace {

using Flow::Future;

std::string cycleMessage(const std::string& queues) {
  return "Future::wait() would wait for ever: a cycle of blocking waits through the queues " +
         queues;
}

TEST(FutureWait, AWaitForWorkQueuedBehindTheWaiterFailsAtOnceAndTheWorkRunsLater) {
  struct Case {
    const char* name;
    DispatchQueue holder;  // the waiter holds it; the future's work is queued on it
  };
  const Case cases[] = {{"serial", DispatchQueue("behind.serial")},
                        {"main", DispatchQueue::main()}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (int round = 0; round < 2; ++round) {
      auto future = Future<int>::make(c.holder, []() -> Result<int> { return 7; });
      const auto waitOnHolder = [&] { return future->wait(); };
      const Result<int> inside = c.holder.isMain() ? waitOnHolder() : c.holder.sync(waitOnHolder);
      ASSERT_TRUE(inside.isFailure());
      EXPECT_TRUE(isDeadlockError(inside.error()));
      EXPECT_EQ(inside.error().localizedDescription(),
                cycleMessage("\"" + c.holder.label() + "\""));
      // Once the holder lets go, the work runs and a wait sees its value.
      if (c.holder.isMain()) {
        ASSERT_TRUE(test::waitFor([&] { return future->maybeSuccess().has_value(); }));
      }
      EXPECT_THAT(future->wait(), test::Succeeded(7));
    }
  }
  EXPECT_EQ(BlockingWait::blockedCount(), 0U);
}

TEST(FutureWait, AWaitInsideASyncInsideAWaitThatClosesACycleFails) {
  // The main thread, on `a`, waits for `outer` on `b`; outer's work, inside
  // a sync onto `c`, waits for `inner`, whose work is queued on `a`.
  DispatchQueue a("nest.a");
  DispatchQueue b("nest.b");
  DispatchQueue c("nest.c");
  for (int round = 0; round < 2; ++round) {
    auto outer = Future<int>::make(b, [a, c]() -> Result<int> {
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (BlockingWait::blockedCount() < 1 && std::chrono::steady_clock::now() < until) {
        std::this_thread::yield();
      }
      return c.sync(
          [&] { return Future<int>::make(a, []() -> Result<int> { return 1; })->wait(); });
    });
    const Result<int> result = a.sync([&] { return outer->wait(); });
    ASSERT_TRUE(result.isFailure());
    EXPECT_TRUE(isDeadlockError(result.error()));
    EXPECT_EQ(result.error().localizedDescription(), cycleMessage("\"nest.a\" -> \"nest.b\""));
  }
}

TEST(FutureWait, AWaitForABusySerialQueueOutsideACycleWaitsForTheValue) {
  // `b` stays busy until the main thread, on `a`, is blocked in the wait.
  DispatchQueue a("busy.a");
  DispatchQueue b("busy.b");
  for (int round = 0; round < 2; ++round) {
    b.async([] {
      while (BlockingWait::blockedCount() < 1) std::this_thread::yield();
    });
    auto future = Future<int>::make(b, []() -> Result<int> { return 3; });
    EXPECT_THAT(a.sync([&] { return future->wait(); }), test::Succeeded(3));
  }
}

}  // namespace
}  // namespace mornik
