#include "mornik/platform/GLibMainQueue.hpp"

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <glib.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/HostLoop.hpp"
#include "mornik/concurrency/RunLoop.hpp"
#include "mornik/platform/detail/Gio.hpp"

#include "tests/support/Sanitizers.hpp"

namespace mornik {
namespace {

// Runs a GLib main loop on the default context until `done` holds, checked
// after each iteration; false if it still does not after 20 s.
bool iterateUntil(const std::function<bool()>& done) {
  const gint64 until = g_get_monotonic_time() + 20 * G_USEC_PER_SEC;
  // A timeout source bounds each wait, so a lost wake-up fails the test
  // instead of hanging it.
  const guint bound = g_timeout_add(
      100, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
  while (!done() && g_get_monotonic_time() < until) g_main_context_iteration(nullptr, TRUE);
  g_source_remove(bound);
  return done();
}

// Thousands of items from another thread, mixed with delayed ones, and a
// run-loop timer: all run on the main thread, in order, with no run of our
// own loop. Twice: attached anew after the first handle went.
TEST(GLibMainQueue, GLibLoopRunsItemsInOrderDelayedWorkAndTimers) {
  const int count = test::kUnderThreadSanitizer ? 10'000 : 100'000;
  for (int round = 0; round < 2; ++round) {
    auto source = GLibMainQueue::attach();
    ASSERT_TRUE(source.isSuccess()) << source.error().localizedDescription();
    std::vector<int> order;
    std::atomic<int> delayed{0};
    std::atomic<bool> offMain{false};
    int ticks = 0;
    auto timer = RunLoopTimer::scheduled(0.005, false, [&](RunLoopTimer&) { ++ticks; });
    // Produced while the loop runs: it sleeps between bursts, and only the
    // descriptor wakes it.
    std::jthread producer([&] {
      for (int i = 0; i < count; ++i) {
        DispatchQueue::main().async([&, i] {
          offMain = offMain || !isMainThread();
          order.push_back(i);
        });
        if (i % 1000 == 0) {
          DispatchQueue::main().asyncAfter(0.001, [&] { ++delayed; });
          std::this_thread::yield();  // widens the gaps the loop sleeps in
        }
      }
    });
    const int expectedDelayed = (count + 999) / 1000;
    ASSERT_TRUE(iterateUntil([&] {
      return static_cast<int>(order.size()) == count && delayed == expectedDelayed && ticks == 1;
    })) << order.size()
        << " items, " << delayed << " delayed, " << ticks << " ticks";
    EXPECT_FALSE(offMain);
    for (int i = 0; i < count; ++i) ASSERT_EQ(order[static_cast<std::size_t>(i)], i);
  }
}

// Two handles share one source; work queued after the loop quit, while no
// source is attached, waits and runs once the next loop drains.
TEST(GLibMainQueue, AttachedTwiceSharesOneSourceAndWorkWaitsForTheNextLoop) {
  int ran = 0;
  {
    auto first = GLibMainQueue::attach();
    auto second = GLibMainQueue::attach();
    ASSERT_TRUE(first.isSuccess() && second.isSuccess());
    { const auto dropped = std::move(first).value(); }
    EXPECT_TRUE(GLibMainQueue::isAttached());
    // The loop quits from main-queue work.
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    DispatchQueue::main().async([&] {
      ++ran;
      g_main_loop_quit(loop);
    });
    g_main_loop_run(loop);
    g_main_loop_unref(loop);
    EXPECT_EQ(ran, 1);
  }
  EXPECT_FALSE(GLibMainQueue::isAttached());
  DispatchQueue::main().async([&] { ++ran; });
  // With no source the default context never runs our work.
  for (int i = 0; i < 100; ++i) g_main_context_iteration(nullptr, FALSE);
  EXPECT_EQ(ran, 1);
  auto again = GLibMainQueue::attach();
  ASSERT_TRUE(again.isSuccess());
  EXPECT_TRUE(iterateUntil([&] { return ran == 2; })) << ran;
}

// A modal loop inside main-queue work fires timers, runs no main-queue item
// and does not spin; the items run once the work returns.
TEST(GLibMainQueue, NestedLoopInsideMainQueueWorkRunsNoItemsAndStaysQuiet) {
  auto source = GLibMainQueue::attach();
  ASSERT_TRUE(source.isSuccess());
  std::vector<std::string> events;
  int nestedIterations = 0;
  DispatchQueue::main().async([&] {
    events.emplace_back("modal");
    DispatchQueue::main().async([&] { events.emplace_back("after"); });
    bool fired = false;
    auto timer = RunLoopTimer::scheduled(0.05, false, [&](RunLoopTimer&) { fired = true; });
    // Not a flood of wake-ups either: queued from another thread meanwhile.
    std::thread([] { DispatchQueue::main().async([] {}); }).join();
    while (!fired && nestedIterations < 1000) {
      g_main_context_iteration(nullptr, TRUE);
      ++nestedIterations;
    }
    events.emplace_back("closed");
  });
  ASSERT_TRUE(iterateUntil([&] { return events.size() == 3; }));
  EXPECT_EQ(events, (std::vector<std::string>{"modal", "closed", "after"}));
  // A readable descriptor would make every iteration return at once.
  EXPECT_LT(nestedIterations, 20);
}

TEST(GLibMainQueue, OffTheMainThreadIsAClearError) {
  std::string drainError;
  std::string attachError;
  std::thread([&] {
    drainError = drainMainQueue().error().localizedDescription();
    attachError = GLibMainQueue::attach().error().localizedDescription();
  }).join();
  EXPECT_EQ(drainError, "drainMainQueue: the main queue can only be drained on the main thread");
  EXPECT_EQ(attachError, "GLibMainQueue: attach on the main thread");
}

// The library's GLib thread runs a context of its own: main-queue work
// dispatched by the default context may wait for that thread, which queues
// main-queue work meanwhile without waiting for the main thread.
TEST(GLibMainQueue, HostLoopAndTheLibraryGLibThreadNeverWaitOnEachOther) {
  auto source = GLibMainQueue::attach();
  ASSERT_TRUE(source.isSuccess());
  bool sawDefault = true;
  bool queued = false;
  bool ran = false;
  DispatchQueue::main().async([&] {
    detail::runOnGioThread([&] {
      sawDefault = detail::glibContext() == g_main_context_default() ||
                   g_main_context_is_owner(g_main_context_default());
      // A wait there for the main thread would never end: it waits here.
      DispatchQueue::main().async([&] { ran = true; });
      queued = true;
    });
  });
  EXPECT_TRUE(iterateUntil([&] { return ran; }));
  EXPECT_TRUE(queued);
  EXPECT_FALSE(sawDefault);
}

}  // namespace
}  // namespace mornik
