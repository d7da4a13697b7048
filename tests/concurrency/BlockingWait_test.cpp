#include "mornik/concurrency/BlockingWait.hpp"

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/flow/future/Future.hpp"

#include "tests/support/RunLoopWait.hpp"

namespace mornik {
namespace {

// Spins (work on a worker has no run loop to pump) until `count` waits block.
void awaitBlocked(std::size_t count) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (BlockingWait::blockedCount() < count && std::chrono::steady_clock::now() < until) {
    std::this_thread::yield();
  }
}

// Queue i's work syncs onto queue i+1; the last one's, once the others are
// blocked, onto the first. Submitted last first, so each sync finds its
// target busy.
void syncCycle(const std::string& name, std::size_t length) {
  std::vector<DispatchQueue> queues;
  for (std::size_t i = 0; i < length; ++i) queues.emplace_back(name + "." + std::to_string(i));
  for (std::size_t i = length; i-- > 0;) {
    queues[i].async([queues, i, length] {
      if (i + 1 == length) awaitBlocked(length - 1);
      queues[(i + 1) % length].sync([] {});
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(30));  // a watchdog, not an ordering
}

TEST(BlockingWaitDeathTest, SyncCyclesOfTwoAndThreeQueuesEndTheProcessNamingTheQueues) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(syncCycle("two", 2),
               "sync onto the queue \"two.0\" would wait for ever: a cycle of blocking waits "
               "through the queues \"two.0\" -> \"two.1\"");
  EXPECT_DEATH(syncCycle("three", 3), "the queues \"three.0\" -> \"three.1\" -> \"three.2\"");
}

const char* const kRefused =
    "Future::wait() would wait for ever: a cycle of blocking waits "
    "through the queues ";

TEST(BlockingWait, AWaitForWorkQueuedBehindItsWaiterFailsAndTheWorkRunsLater) {
  for (const DispatchQueue& holder : {DispatchQueue("behind"), DispatchQueue::main()}) {
    for (int round = 0; round < 2; ++round) {
      auto future = Flow::Future<int>::make(holder, [] { return Result<int>(7); });
      const auto wait = [&] { return future->wait(); };
      const Result<int> refused = holder.isMain() ? wait() : holder.sync(wait);
      ASSERT_TRUE(refused.isFailure() && isDeadlockError(refused.error()));
      EXPECT_EQ(refused.error().localizedDescription(), kRefused + ("\"" + holder.label() + "\""));
      ASSERT_TRUE(test::waitFor([&] { return future->maybeSuccess() == 7; }));
    }
  }
}

TEST(BlockingWait, AWaitInsideASyncInsideAWaitFailsOnlyWhereItClosesACycle) {
  // The main thread, on `a`, waits for `outer` (on `b`), whose work waits,
  // inside a sync onto `c`, for `inner`: queued on `b` (busy only while
  // outer runs: no cycle) or on `a` (held by the first waiter: a cycle).
  const DispatchQueue a("nest.a");
  const DispatchQueue b("nest.b");
  const DispatchQueue c("nest.c");
  for (const DispatchQueue& innerQueue : {DispatchQueue("nest.free"), a, a}) {
    auto outer = Flow::Future<int>::make(b, [&] {
      awaitBlocked(1);
      return c.sync([&] { return Flow::Future<int>::make(innerQueue, [] { return 1; })->wait(); });
    });
    const Result<int> result = a.sync([&] { return outer->wait(); });
    if (innerQueue == a) {
      ASSERT_TRUE(result.isFailure());
      EXPECT_EQ(result.error().localizedDescription(),
                kRefused + std::string("\"nest.a\" -> \"nest.b\""));
    } else {
      EXPECT_EQ(result.maybeSuccess(), 1);
    }
  }
  EXPECT_EQ(BlockingWait::blockedCount(), 0U);
}

}  // namespace
}  // namespace mornik
