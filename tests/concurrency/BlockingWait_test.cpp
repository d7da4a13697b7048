#include "mornik/concurrency/BlockingWait.hpp"

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"

namespace mornik {
namespace {

// Spins (on a worker: the main run loop is not there to pump) until
// `count` waits are blocked in the graph.
void awaitBlocked(std::size_t count) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (BlockingWait::blockedCount() < count && std::chrono::steady_clock::now() < until) {
    std::this_thread::yield();
  }
}

// Queue i's work syncs onto queue i+1; the last queue's work waits until
// all the others are blocked, then syncs onto the first, closing the
// cycle. The items go in last first, so that each sync finds its target
// busy.
void syncCycle(const std::string& name, int length) {
  std::vector<DispatchQueue> queues;
  for (int i = 0; i < length; ++i) queues.emplace_back(name + "." + std::to_string(i));
  queues.back().async([queues, length] {
    awaitBlocked(static_cast<std::size_t>(length - 1));
    queues.front().sync([] {});
  });
  for (int i = length - 2; i >= 0; --i) {
    queues[static_cast<std::size_t>(i)].async(
        [next = queues[static_cast<std::size_t>(i) + 1]] { next.sync([] {}); });
  }
  // A watchdog, not an ordering: a cycle left undetected ends here instead
  // of hanging the test.
  std::this_thread::sleep_for(std::chrono::seconds(30));
}

TEST(BlockingWaitDeathTest, SyncCyclesThroughSerialQueuesEndTheProcessNamingTheQueues) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    const char* name;
    int length;
    const char* message;
  };
  const Case cases[] = {
      {"two", 2,
       "sync onto the queue \"two.0\" would wait for ever: a cycle of blocking waits through the "
       "queues \"two.0\" -> \"two.1\""},
      {"three", 3,
       "sync onto the queue \"three.0\" would wait for ever: a cycle of blocking waits through "
       "the queues \"three.0\" -> \"three.1\" -> \"three.2\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_DEATH(syncCycle(c.name, c.length), c.message);
  }
}

TEST(BlockingWait, SyncOntoABusyQueueOutsideACycleWaitsItsTurn) {
  // The holder of `b` is blocked too, but on nothing this thread holds.
  DispatchQueue a("chain.a");
  DispatchQueue b("chain.b");
  DispatchQueue c("chain.c");
  std::atomic<bool> open{false};
  c.async([&] {
    while (!open.load()) std::this_thread::yield();
  });
  b.async([&] { c.sync([] {}); });
  for (int round = 0; round < 2; ++round) {
    std::atomic<int> ran{0};
    a.async([&] { b.sync([&] { ++ran; }); });
    if (round == 0) {
      awaitBlocked(2);
      EXPECT_EQ(BlockingWait::blockedCount(), 2U);
      open.store(true);
    }
    a.sync([] {});
    EXPECT_EQ(ran.load(), 1);
  }
  EXPECT_EQ(BlockingWait::blockedCount(), 0U);
}

}  // namespace
}  // namespace mornik
