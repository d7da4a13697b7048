#include "mornik/flow/future/Future.hpp"

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/DispatchSemaphore.hpp"
#include "mornik/concurrency/Task.hpp"

#include "tests/support/Census.hpp"
#include "tests/support/Concurrently.hpp"
#include "tests/support/QueueGate.hpp"
#include "tests/support/ResultMatchers.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik::Flow {
namespace {

using test::drain;
using test::Failed;
using test::QueueGate;
using test::Succeeded;
using test::waitFor;

// ---- Handler ----

TEST(Handler, RunsOnItsQueueNeverInsideCallAndItsBlockGoesOnlyWhenNoDeliveryCanTouchIt) {
  auto census = test::Census::make();
  std::atomic<int> got{0};
  auto handler = Handler<int>::make(DispatchQueue::main(), [&](const int& value) { got = value; });
  handler->call(7);
  EXPECT_EQ(got.load(), 0);
  ASSERT_TRUE(waitFor([&] { return got.load() == 7; }));

  // On a serial queue, released with deliveries queued: they do nothing, and
  // the block goes after them, on the queue.
  const DispatchQueue serial("test.handler");
  std::atomic<int> runs{0};
  {
    QueueGate gate(serial);
    auto repeating =
        Handler<int>::make(serial, [&runs, c = census->member()](const int&) { ++runs; });
    repeating->call(1);
    repeating->call(2);
    repeating.reset();
    EXPECT_EQ(census->alive(), 1);
  }
  drain(serial);
  EXPECT_EQ(runs.load(), 0);
  EXPECT_EQ(census->alive(), 0);

  // On a concurrent queue, released while a delivery runs: the block lives
  // until that delivery returns.
  auto entered = std::make_shared<DispatchSemaphore>();
  auto leave = std::make_shared<DispatchSemaphore>();
  auto running = Handler<int>::make(DispatchQueue::global(),
                                    [entered, leave, c = census->member()](const int&) {
                                      entered->signal();
                                      leave->wait();
                                    });
  running->call(1);
  entered->wait();
  running.reset();
  EXPECT_EQ(census->alive(), 1);
  leave->signal();
  EXPECT_TRUE(waitFor([&] { return census->alive() == 0; }));
}

// ---- Identity, creation and completion ----

TEST(Future, MadeFromAResultItIsCompleteAtOnceAndHasNoWork) {
  auto done = Future<std::string>::succeeded("v");
  EXPECT_EQ(done->maybeSuccess(), "v");
  EXPECT_EQ(done->maybeFailure(), std::nullopt);
  EXPECT_THAT(done->wait(), Succeeded(std::string("v")));
  EXPECT_EQ(done->queue(), DispatchQueue::global());
  auto failed = Future<int>::failed(WTF("gone", 3));
  EXPECT_EQ(failed->maybeSuccess(), std::nullopt);
  EXPECT_THAT(failed->wait(), Failed(WTF("gone", 3)));
  EXPECT_TRUE(Future<void>::succeeded()->maybeSuccess());
  EXPECT_EQ(Future<int>::succeeded(3)->clone()->maybeSuccess(), std::nullopt);
  // Every future and every clone has an id of its own.
  EXPECT_NE(done->id(), failed->id());
  EXPECT_NE(done->id(), done->clone()->id());
  EXPECT_EQ(done->id().id.version(), 4);
  EXPECT_EQ(std::hash<FutureID>()(done->id()), std::hash<FutureID>()(FutureID{done->id().id}));
}

// Both outcomes, with handlers of every kind registered before completion,
// completions that come too late, and registrations after completion (which
// still run asynchronously, on their queue).
TEST(Future, HandlersSeeTheFirstOutcomeOnceInRegistrationOrderCompleteHandlersFirst) {
  for (const bool success : {true, false}) {
    SCOPED_TRACE(success ? "success" : "failure");
    const DispatchQueue queue("test.outcome");
    std::vector<std::string> log;  // queue work only
    auto future = Future<int>::promise(queue);
    // Each handler runs on the future's queue, never inside a registration.
    auto record = [&](std::string entry) {
      return [&log, entry](auto&&...) {
        log.push_back(DispatchQueue::currentLabel() == "test.outcome" ? entry : "elsewhere");
      };
    };
    future->onSuccess(record("s1")).onComplete(record("c1")).onFailure(record("f1"));
    future->onSuccess(record("s2")).onComplete(record("c2")).onFailure(record("f2"));
    std::thread([&] {
      future->complete(success ? Result<int>(1) : Result<int>(WTF("no", 0)));
      future->complete(2);
      future->complete(WTF("late", 0));
    }).join();
    future->onFailure(record("f3")).onSuccess(record("s3")).onComplete(record("c3"));
    drain(queue);
    using Log = std::vector<std::string>;
    const Log expected =
        success ? Log{"c1", "c2", "s1", "s2", "s3", "c3"} : Log{"c1", "c2", "f1", "f2", "f3", "c3"};
    EXPECT_EQ(log, expected);
    EXPECT_EQ(future->wait(), success ? Result<int>(1) : Result<int>(WTF("no", 0)));
  }
  // Void futures succeed without a value.
  std::atomic<int> voids{0};
  auto nothing = Future<void>::promise();
  nothing->onSuccess([&] { ++voids; });
  EXPECT_FALSE(nothing->maybeSuccess());
  nothing->complete(Result<void>());
  EXPECT_THAT(nothing->wait(), Succeeded());
  EXPECT_TRUE(waitFor([&] { return voids.load() == 1; }));
}

// ---- Lazy start ----

TEST(Future, TheWorkStartsOnceOnItsQueueWithTheFirstRegistrationOrWait) {
  const DispatchQueue queue("test.lazy");
  std::atomic<int> started{0};
  std::string startedOn;  // written by the block before it completes the future
  auto future = Future<int>::make(queue, [&]() -> Result<int> {
    startedOn = DispatchQueue::currentLabel();
    return ++started;
  });
  drain(queue);
  EXPECT_EQ(started.load(), 0);
  auto other = future->clone();
  std::atomic<int> delivered{0};
  future->onSuccess([&](int) { ++delivered; }).onComplete([&](const Result<int>&) { ++delivered; });
  ASSERT_TRUE(waitFor([&] { return delivered.load() == 2; }));
  EXPECT_EQ(startedOn, "test.lazy");
  EXPECT_THAT(future->wait(), Succeeded(1));
  EXPECT_THAT(other->wait(), Succeeded(2));  // a clone runs the work again

  auto computed = Future<int>::make([](const std::shared_ptr<Future<int>>& self) {
    std::thread([self] { self->complete(42); }).detach();
  });
  EXPECT_THAT(computed->wait(), Succeeded(42));
  {
    QueueGate gate(queue);
    Future<int>::make(queue, [&]() -> Result<int> { return ++started; })->onSuccess([](int) {});
  }  // a future that goes while its start task waits behind the gate never starts
  drain(queue);
  EXPECT_EQ(started.load(), 2);
}

// ---- wait ----

TEST(Future, WaitBlocksUntilCompletionAndReleasesEveryWaiterAlsoOnPoolWorkers) {
  // More blocked waiters than workers: the pool must grow for the
  // completing work to run.
  const int waiters = 2 * mornik::detail::poolTargetSize() + 2;
  auto future = Future<int>::promise();
  std::atomic<int> done{0};
  for (int i = 0; i < waiters; ++i) {
    DispatchQueue::global().async([&, future] { done += future->wait().value(); });
  }
  // Widens the window in which the waiters are blocked; nothing depends on it.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(done.load(), 0);
  DispatchQueue::global().async([future] { future->complete(1); });
  ASSERT_TRUE(waitFor([&] { return done.load() == waiters; }));
}

// ---- Asynchronous work and awaiting ----

Task<int> slowSquare(int n) {
  co_await sleep(0.001);
  co_return n* n;
}

Task<int> throwsError() {
  co_await sleep(0);
  throw WTF("async failed", 4);
}

Task<std::string> awaitsFutures(std::shared_ptr<Future<int>> lazy,
                                std::shared_ptr<Future<int>> pending,
                                std::shared_ptr<Future<int>> failed) {
  const Result<int> first = co_await lazy;
  const Result<int> later = co_await pending;
  const std::string after = DispatchQueue::currentLabel();
  const Result<int> bad = co_await failed;
  co_return std::to_string(first.value() + later.value()) + " " + after + " " +
      bad.error().localizedDescription();
}

TEST(Future, AsyncWorkCompletesWithTheTasksOutcomeAndAwaitingAFutureResumesOnTheTasksQueue) {
  const DispatchQueue queue("test.async");
  std::atomic<int> calls{0};
  auto squared = Future<int>::make(queue, [&] {
    ++calls;
    return slowSquare(7);
  });
  EXPECT_EQ(calls.load(), 0);
  EXPECT_THAT(squared->wait(), Succeeded(49));
  EXPECT_THAT(Future<int>::make(queue, [] { return throwsError(); })->wait(),
              Failed(WTF("async failed", 4)));
  auto plain = Future<int>::make(queue, []() -> Task<int> { throw std::runtime_error("plain"); });
  EXPECT_THAT(plain->wait(), test::FailedWith("plain"));

  // Awaiting a future starts it; the task resumes on its own queue.
  auto lazy = Future<int>::make([]() -> Result<int> { return 1; });
  auto pending = Future<int>::promise(DispatchQueue("test.elsewhere"));
  std::optional<std::string> text;
  std::atomic<bool> finished{false};
  awaitsFutures(lazy, pending, Future<int>::failed(WTF("bad", 0)))
      .start(DispatchQueue("test.home"), [&](Result<std::string> outcome) {
        text = std::move(outcome).value();
        finished = true;
      });
  std::thread([pending] { pending->complete(2); }).join();
  ASSERT_TRUE(waitFor([&] { return finished.load(); }));
  EXPECT_EQ(*text, "3 test.home bad");
}

// ---- Contexts and lifetimes ----

struct Screen {
  std::vector<int> shown;  // main queue only
};

TEST(Future, ContextsAreHeldWeaklyAndSkippedOnceGone) {
  auto kept = std::make_shared<Screen>();
  auto dropped = std::make_shared<Screen>();
  const std::weak_ptr<Screen> droppedWeak = dropped;
  auto future = Future<int>::promise(DispatchQueue::main());
  future->onSuccess(kept, [](Screen& screen, int n) { screen.shown.push_back(n); });
  future->onSuccess(dropped, [](Screen& screen, int n) { screen.shown.push_back(n); });
  future->onComplete(kept, [](const std::shared_ptr<Screen>& screen, const Result<int>& r) {
    screen->shown.push_back(-r.value());
  });
  future->onFailure(kept, [](Screen& screen, const Error&) { screen.shown.push_back(0); });
  dropped.reset();
  EXPECT_TRUE(droppedWeak.expired());  // the registration did not keep it
  future->complete(3);
  auto nothing = Future<void>::succeeded();
  nothing->onSuccess(kept, DispatchQueue::main(),
                     [](Screen& screen) { screen.shown.push_back(9); });
  drain(DispatchQueue::main());
  EXPECT_EQ(kept->shown, (std::vector<int>{-3, 3, 9}));
}

// A future keeps its handlers' captures and its retained objects exactly as
// long as it lives: releasing it releases them at once, even with deliveries
// still queued (which then do nothing), here on the main queue while no
// run loop drains it.
TEST(Future, ReleasingAFutureReleasesItsCapturesAtOnceAndSilencesQueuedDeliveries) {
  auto census = test::Census::make();
  std::atomic<int> runs{0};
  auto future = Future<int>::promise(DispatchQueue::main());
  future->onSuccess([&runs, c = census->member()](int) { ++runs; });
  future->onComplete([&runs, c = census->member()](const Result<int>&) { ++runs; });
  future->retain(census->object());
  future->complete(1);
  EXPECT_EQ(census->alive(), 3);
  future.reset();
  EXPECT_EQ(census->alive(), 0);
  drain(DispatchQueue::main());
  EXPECT_EQ(runs.load(), 0);

  // Delivered handlers stay with the future until it goes.
  future = Future<int>::succeeded(1);
  std::atomic<bool> ran{false};
  future->onSuccess([&ran, c = census->member()](int) { ran = true; });
  ASSERT_TRUE(waitFor([&] { return ran.load(); }));
  EXPECT_EQ(census->alive(), 1);
  future.reset();
  EXPECT_EQ(census->alive(), 0);
}

// ---- Races, forced through the future's test seams ----

// Installs `hook` at one seam of one future for a test: it runs the first
// time `target` reaches `step`, and never again.
class SeamScope {
 public:
  using Step = mornik::detail::FutureStep;
  SeamScope(const void* target, Step step, std::function<void()> hook) {
    target_ = target;
    step_ = step;
    hook_ = std::move(hook);
    mornik::detail::futureSeam.store(&SeamScope::at);
  }
  ~SeamScope() {
    mornik::detail::futureSeam.store(nullptr);
    hook_ = nullptr;
  }
  SeamScope(const SeamScope&) = delete;
  SeamScope& operator=(const SeamScope&) = delete;

 private:
  static void at(Step step, const void* future) {
    if (future == target_ && step == step_ && hook_) std::exchange(hook_, nullptr)();
  }
  static inline const void* target_ = nullptr;
  static inline Step step_{};
  static inline std::function<void()> hook_;
};

TEST(FutureRace, TwoStartsThatBothFoundTheWorkUnclaimedRunItOnce) {
  const DispatchQueue queue("test.start");
  std::atomic<int> runs{0};
  auto future = Future<int>::make(queue, [&]() -> Result<int> { return ++runs; });
  // A second start between the first one's look at the state and its claim.
  const SeamScope seam(future.get(), SeamScope::Step::startClaim,
                       [&] { future->onSuccess([](int) {}); });
  EXPECT_THAT(future->wait(), Succeeded(1));
  drain(queue);  // a second start task would have run the work again by now
  EXPECT_EQ(runs.load(), 1);
}

TEST(FutureRace, AHandlerRegisteredAsTheResultArrivesRunsExactlyOnceAndInOrder) {
  using Step = SeamScope::Step;
  for (const Step where : {Step::registered, Step::completionWalk}) {
    SCOPED_TRACE(where == Step::registered ? "completed during a registration"
                                           : "registered during the completion");
    const DispatchQueue queue("test.race");
    std::vector<std::string> log;  // queue work only
    auto future = Future<int>::promise(queue);
    auto record = [&](std::string entry) { return [&log, entry](int) { log.push_back(entry); }; };
    const SeamScope seam(future.get(), where, [&] {
      if (where == Step::registered) {
        future->complete(1);  // between the registration's append and its look at the state
      } else {
        future->onSuccess(record("during"));  // between the store and the walk
      }
    });
    future->onSuccess(record("before"));
    future->complete(2);
    future->onSuccess(record("after"));
    drain(queue);
    using Log = std::vector<std::string>;
    const Log expected =
        where == Step::registered ? Log{"before", "after"} : Log{"before", "during", "after"};
    EXPECT_EQ(log, expected);
  }
}

TEST(FutureStress, RegistrationsDerivationsAndCompletionsRacingDeliverExactlyOnce) {
  // Two threads register handlers and derive futures (racing on each future's
  // list and retained objects) while two others complete the futures just
  // behind them: the seam tests force the interleavings, this one lets
  // ThreadSanitizer watch real ones.
  const int futures = test::scaled(20'000);
  std::vector<std::shared_ptr<Future<int>>> roots;
  for (int i = 0; i < futures; ++i) roots.push_back(Future<int>::promise());
  std::vector<std::atomic<int>> runs(static_cast<std::size_t>(futures));
  std::atomic<int> wrong{0};
  std::atomic<long> total{0};
  std::atomic<int> reached{-1};
  static thread_local bool inCall = false;  // registering or completing
  const std::vector<DispatchQueue> queues{DispatchQueue("stress.serial"), DispatchQueue::global()};
  auto count = [&](int i, bool right) {
    if (inCall || !right) ++wrong;
    runs[static_cast<std::size_t>(i)].fetch_add(1);
    total.fetch_add(1);
  };
  test::runConcurrently(4, [&](int thread) {
    inCall = true;
    for (int i = thread < 2 ? 0 : thread - 2; i < futures; i += thread < 2 ? 1 : 2) {
      const auto& root = roots[static_cast<std::size_t>(i)];
      if (thread >= 2) {
        while (reached.load() < i) std::this_thread::yield();
        root->complete(i);
        continue;
      }
      const DispatchQueue& queue = queues[static_cast<std::size_t>(thread)];
      root->onComplete(queue, [&count, i](const Result<int>& r) { count(i, r.value() == i); });
      root->map(queue, [](int v) { return v + 1; })->onSuccess([&count, i](int v) {
        count(i, v == i + 1);
      });
      int seen = reached.load();
      while (seen < i && !reached.compare_exchange_weak(seen, i)) {
      }
    }
    inCall = false;
  });
  ASSERT_TRUE(waitFor([&] { return total.load() >= 4L * futures; }, 60));
  drain(queues[0]);
  EXPECT_EQ(wrong.load(), 0);
  for (int i = 0; i < futures; ++i) ASSERT_EQ(runs[static_cast<std::size_t>(i)].load(), 4) << i;
}

}  // namespace
}  // namespace mornik::Flow
