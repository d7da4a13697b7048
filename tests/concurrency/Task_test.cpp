#include "mornik/concurrency/Task.hpp"

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/base/Error.hpp"
#include "mornik/concurrency/AsyncResult.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"

#include "tests/support/ManualClock.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik {
namespace {

using test::waitFor;

// Runs a task to its end from the main thread by pumping the main run loop.
template <class T>
Result<T> runToEnd(Task<T> task, const DispatchQueue& queue) {
  std::shared_ptr<std::optional<Result<T>>> outcome = std::make_shared<std::optional<Result<T>>>();
  std::atomic<bool> done{false};
  std::move(task).start(queue, [outcome, &done](Result<T> result) {
    outcome->emplace(std::move(result));
    done = true;
  });
  EXPECT_TRUE(waitFor([&] { return done.load(); }));
  return std::move(**outcome);
}

Task<int> answer(std::atomic<int>& started) {
  started.fetch_add(1);
  co_return 42;
}

TEST(Task, NothingRunsUntilTheTaskIsStartedOrAwaited) {
  std::atomic<int> started{0};
  { Task<int> dropped = answer(started); }
  Task<int> kept = answer(started);
  EXPECT_EQ(started.load(), 0);
  EXPECT_EQ(runToEnd(std::move(kept), DispatchQueue::global()).value(), 42);
  EXPECT_EQ(started.load(), 1);
}

Task<std::string> labelled() { co_return DispatchQueue::currentLabel(); }

Task<std::string> hopsAway(DispatchQueue other) {
  co_await resumeOn(other);
  co_return DispatchQueue::currentLabel();
}

// A child runs on its awaiter's queue; one that hops elsewhere with resumeOn
// hands its awaiter back to the awaiter's own queue.
Task<std::string> awaitsChildren(DispatchQueue other) {
  const std::string child = co_await labelled();
  const std::string there = co_await hopsAway(other);
  co_return child + "/" + there + "/" + DispatchQueue::currentLabel();
}

TEST(Task, RunsOnItsQueueAndChildrenComeBackToTheAwaitersQueue) {
  EXPECT_EQ(
      runToEnd(awaitsChildren(DispatchQueue("test.away")), DispatchQueue("test.home")).value(),
      "test.home/test.away/test.home");
}

Task<int> failing() {
  throw WTF("task failed", 7);
  co_return 0;
}

Task<int> rethrows() {
  try {
    co_return co_await failing();
  } catch (const Error& error) {
    co_return static_cast<int>(error.code()) * 10;
  }
}

TEST(Task, ExceptionsReachTheAwaiterAndTheCompletionUnchanged) {
  Result<int> failed = runToEnd(failing(), DispatchQueue::global());
  ASSERT_FALSE(failed.isSuccess());
  EXPECT_EQ(failed.error().localizedDescription(), "task failed");
  EXPECT_EQ(runToEnd(rethrows(), DispatchQueue::global()).value(), 70);
}

Task<> sleeper(std::vector<std::string>& log) {
  log.push_back("before");
  co_await sleep(std::chrono::seconds(1));
  log.push_back("after " + DispatchQueue::currentLabel());
}

TEST(Task, SleepSuspendsWithoutHoldingTheQueue) {
  test::ManualClock clock;
  DispatchQueue queue("test.sleep");
  std::vector<std::string> log;  // queue work only
  std::atomic<bool> done{false};
  queue.sync([&] { sleeper(log).startHere(queue, [&](Result<void>) { done = true; }); });
  queue.sync([&] { log.push_back("other"); });  // the queue is free while the task sleeps
  clock.advance(1.0);
  EXPECT_TRUE(done.load());
  EXPECT_EQ(queue.sync([&] { return log; }),
            (std::vector<std::string>{"before", "other", "after test.sleep"}));
  EXPECT_THROW((void)sleep(std::nan("")), std::invalid_argument);
}

// Blocks for onSuccess, onFailure and forEachAsync with captures that have
// destructors: named, or written in place (temporaries) where the call is
// not itself awaited, or also where it is on compilers without g++ 12's
// double destruction inside co_await. Each task keeps its own copy and
// releases it once (AddressSanitizer reports a second release). A Result's
// block runs on its own case only, and the result comes back unchanged.
Task<std::size_t> awaitsBlocks(std::shared_ptr<std::string> text) {
  std::size_t seen = 0;
  auto add = [text, &seen](const int& n) -> Task<void> {
    co_await resumeOn(DispatchQueue::global());
    seen += text->size() * static_cast<std::size_t>(n);
  };
  auto addOnce = [text, &seen](const auto&... /*error*/) -> Task<void> {
    seen += text->size();
    co_return;
  };
  const Result<int> two = 2;
  const Result<int> failed = Result<int>::wtf("failed", 1);
  const std::vector<int> one{1};
  // One result at a time: g++ 12 also destroys twice the elements of an
  // array initialised from co_await expressions.
  std::vector<Result<int>> results;
  results.push_back(co_await two.onSuccess(add));
  results.push_back(co_await two.onFailure(addOnce));
  results.push_back(co_await failed.onSuccess(add));
  results.push_back(co_await failed.onFailure(addOnce));
  (void)co_await Result<void>().onSuccess(addOnce);
  co_await forEachAsync(one, add);
  // In place, stored before it is awaited.
  const std::string copy = *text;
  Task<Result<int>> inPlace = failed.onFailure([copy, text, &seen](const Error&) -> Task<void> {
    seen += copy.size() + text->size();
    co_return;
  });
  Task<> walk = forEachAsync(one, [copy, &seen](int n) -> Task<void> {
    co_await resumeOn(DispatchQueue::global());
    seen += copy.size() * static_cast<std::size_t>(n);
  });
  if (co_await std::move(inPlace) != failed) co_return 0;
  co_await std::move(walk);
#if !(defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13)
  co_await forEachAsync(one, [copy, text, &seen](int) -> Task<void> {
    seen += copy.size() + text->size();
    co_return;
  });
#else
  seen += copy.size() + text->size();
#endif
  if (!(results[0] == two && results[1] == two && results[2] == failed && results[3] == failed)) {
    co_return 0;
  }
  co_return seen;
}

TEST(Task, BlocksAreCopiedIntoTheTaskAndReleasedOnce) {
  auto text = std::make_shared<std::string>("a text longer than a small-string buffer");
  EXPECT_EQ(runToEnd(awaitsBlocks(text), DispatchQueue("test.blocks")).value(), text->size() * 10);
  EXPECT_EQ(text.use_count(), 1);
  // In place where no coroutine awaits it.
  std::atomic<std::size_t> seen{0};
  const std::vector<int> items{1, 2};
  EXPECT_TRUE(runToEnd(forEachAsync(items,
                                    [text, &seen](int n) -> Task<void> {
                                      seen += text->size() * static_cast<std::size_t>(n);
                                      co_return;
                                    }),
                       DispatchQueue("test.blocks"))
                  .isSuccess());
  EXPECT_EQ(seen.load(), text->size() * 3);
  EXPECT_EQ(text.use_count(), 1);
}

Task<int> sum(int depth) {
  if (depth == 0) co_return 0;
  co_return depth + co_await sum(depth - 1);
}

TEST(Task, DeepChainsOfAwaitsDoNotGrowTheStack) {
  // Awaiting and finishing transfer control by tail calls, so depth costs no
  // stack. g++ cannot make those tail calls in frames that AddressSanitizer
  // instruments; there the chain stays shallow enough for the stack.
  const int depth = test::kUnderAddressSanitizer ? 500 : 20000;
  EXPECT_EQ(runToEnd(sum(depth), DispatchQueue("test.deep")).value(), depth * (depth + 1) / 2);
}

TEST(Task, ManyConcurrentTasksAllComplete) {
  const int count = 500;
  std::atomic<int> completed{0};
  for (int i = 0; i < count; ++i) {
    auto work = [](int n) -> Task<int> {
      co_await sleep(0.001 * (n % 5));
      co_await resumeOn(DispatchQueue::global(static_cast<QoS>(n % 5)));
      co_return n;
    };
    work(i).start(DispatchQueue::global(), [&, i](Result<int> outcome) {
      if (outcome.value() == i) completed.fetch_add(1);
    });
  }
  EXPECT_TRUE(waitFor([&] { return completed.load() == count; }));
}

}  // namespace
}  // namespace mornik

namespace mornik {
namespace {

Task<> visit(std::vector<int>& seen, std::atomic<int>& inside, int element) {
  const bool alone = inside.fetch_add(1) == 0;
  co_await sleep(0.001 * (3 - element % 3));  // later elements would finish first
  inside.fetch_sub(1);
  if (element == 4) throw WTF("stop at 4", 4);
  seen.push_back(alone ? element : -element);
}

// One element at a time, in order; the first error ends the walk.
TEST(ForEachAsync, VisitsElementsOneAtATimeInOrderAndStopsAtTheFirstError) {
  std::vector<int> seen;
  std::atomic<int> inside{0};
  auto each = [&](int e) { return visit(seen, inside, e); };
  EXPECT_TRUE(runToEnd(forEachAsync(std::vector<int>{1, 2, 3}, each), DispatchQueue("test.each"))
                  .isSuccess());
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
  seen.clear();
  EXPECT_FALSE(runToEnd(forEachAsync1(std::vector<int>{3, 4, 5}, each), DispatchQueue("test.each"))
                   .isSuccess());
  EXPECT_EQ(seen, (std::vector<int>{3})) << "5 must never be visited";
}

Task<int> sleepsLeniently() {
  co_await sleepSec(-1);
  co_await sleepSec(std::nan(""));
  co_await sleepMs(1);
  co_await sleepMins(-HUGE_VAL);
  co_return 1;
}

TEST(LenientSleeps, BadDurationsClampToZeroInsteadOfThrowing) {
  EXPECT_EQ(runToEnd(sleepsLeniently(), DispatchQueue::global()).value(), 1);
  EXPECT_NO_THROW((void)sleepSec(HUGE_VAL));  // a century, never awaited here
}

}  // namespace
}  // namespace mornik
