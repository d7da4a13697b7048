#include "mornik/flow/future/Future.hpp"

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchSemaphore.hpp"
#include "mornik/flow/future/AsyncFunc.hpp"

#include "tests/support/Census.hpp"
#include "tests/support/QueueGate.hpp"
#include "tests/support/Recorder.hpp"
#include "tests/support/ResultMatchers.hpp"

namespace mornik::Flow {
namespace {

using test::drain;
using test::Succeeded;
using test::waitFor;
using Log = std::vector<std::string>;

// A block that names a prefetch target is asked once per delivery, on the
// submitting thread, before its delivery runs.
TEST(Future, ABlockThatNamesAPrefetchTargetIsAskedAsItsDeliveryIsSubmitted) {
  struct Block {
    Log* log;
    std::thread::id submitter;
    void operator()(const Result<int>& /*unused*/) const { log->push_back("run"); }
    const void* prefetchTarget() const noexcept {
      log->push_back(std::this_thread::get_id() == submitter ? "target" : "elsewhere");
      return log;
    }
  };
  const DispatchQueue queue("test.prefetch");
  Log log;
  auto future = Future<int>::promise(queue);
  future->onComplete(Block{&log, std::this_thread::get_id()});
  future->complete(1);
  drain(queue);
  EXPECT_EQ(log, (Log{"target", "run"}));
}

// Handlers of every kind before completion, late completions, and handlers
// registered after completion (still asynchronous, on the queue).
TEST(Future, HandlersSeeTheFirstOutcomeOnceOnTheQueueCompleteHandlersFirst) {
  for (const bool success : {true, false}) {
    const DispatchQueue queue("test.outcome");
    Log log;  // queue work only
    auto future = Future<int>::promise(queue);
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
    }).join();
    future->onFailure(record("f3")).onSuccess(record("s3")).onComplete(record("c3"));
    drain(queue);
    const Log expected =
        success ? Log{"c1", "c2", "s1", "s2", "s3", "c3"} : Log{"c1", "c2", "f1", "f2", "f3", "c3"};
    EXPECT_EQ(log, expected);
  }
  // Made from a result: complete at once; a clone is not.
  EXPECT_EQ(Future<int>::failed(WTF("gone", 3))->clone()->maybeFailure(), std::nullopt);
}

TEST(Future, TheWorkStartsOnceOnItsQueueWithTheFirstRegistrationOrWait) {
  const DispatchQueue queue("test.lazy");
  std::atomic<int> started{0};
  auto future = Future<int>::make(queue, [&]() -> Result<int> {
    return DispatchQueue::currentLabel() == "test.lazy" ? ++started : -1;
  });
  drain(queue);
  EXPECT_EQ(started.load(), 0);
  future->onSuccess([](int) {}).onComplete([](const Result<int>&) {});
  EXPECT_THAT(future->wait(), Succeeded(1));
  const auto clone = future->clone();
  future.reset();                            // the work lives on with the clone
  EXPECT_THAT(clone->wait(), Succeeded(2));  // a clone runs the work again
  {
    test::QueueGate gate(queue);
    Future<int>::make(queue, [&]() -> Result<int> { return ++started; })->onSuccess([](int) {});
  }  // a future that goes while its start task waits never starts
  drain(queue);
  EXPECT_EQ(started.load(), 2);
}

Task<std::string> awaitsAll(std::shared_ptr<AsyncFunc<int>> func, std::shared_ptr<Future<int>> lazy,
                            std::shared_ptr<Future<int>> pending) {
  const Result<int> computed = co_await func->result();
  const Result<int> first = co_await lazy;
  const Result<int> later = co_await pending;
  co_return std::to_string(computed.value() + first.value() + later.value()) + " " +
      DispatchQueue::currentLabel();
}

// Awaiting a future starts it; an AsyncFunc starts at once and runs once, for
// awaiters before and after its result; each resumes on its own queue.
TEST(Future, AsyncWorkCompletesWithTheTasksOutcomeAndAwaitersResumeOnTheirQueue) {
  const DispatchQueue queue("test.async");
  auto square = Future<int>::make(queue, []() -> Task<int> {
    co_await sleep(0.001);
    co_return DispatchQueue::currentLabel() == "test.async" ? 49 : -1;
  });
  EXPECT_THAT(square->wait(), Succeeded(49));
  auto thrown = Future<int>::make(queue, []() -> Task<int> { throw std::runtime_error("plain"); });
  EXPECT_THAT(thrown->wait(), test::FailedWith("plain"));

  std::atomic<int> runs{0};
  DispatchSemaphore gate;
  auto func = AsyncFunc<int>::make([&]() -> Result<int> {
    gate.wait();
    return 10 * ++runs;
  });
  auto lazy = Future<int>::make([]() -> Result<int> { return 1; });
  auto pending = Future<int>::promise(DispatchQueue("test.elsewhere"));
  test::Recorder<std::string> texts;
  auto start = [&](const char* label) {
    awaitsAll(func, lazy, pending).start(DispatchQueue(label), [add = texts.block()](auto r) {
      add(r.value());
    });
  };
  start("test.a");
  start("test.b");
  gate.signal();
  std::thread([pending] { pending->complete(2); }).join();
  ASSERT_TRUE(texts.waitForSize(2));
  EXPECT_THAT(texts.values(), testing::UnorderedElementsAre("13 test.a", "13 test.b"));
  EXPECT_EQ(runs.load(), 1);
}

// A future keeps its handlers' captures and retained objects exactly as long
// as it lives (a running block goes when it returns); contexts are weak.
TEST(Future, ReleasingAFutureReleasesItsCapturesAtOnceAndContextsAreHeldWeakly) {
  auto census = test::Census::make();
  auto kept = std::make_shared<std::vector<int>>();  // main queue only
  auto dropped = std::make_shared<std::vector<int>>();
  auto future = Future<int>::promise(DispatchQueue::main());
  for (const auto& context : {kept, dropped}) {
    future->onSuccess(context, [](std::vector<int>& shown, int n) { shown.push_back(n); });
  }
  future->onComplete([c = census->member()](const Result<int>&) {});
  future->retain(census->object());
  const std::weak_ptr<std::vector<int>> droppedWeak = dropped;
  dropped.reset();
  EXPECT_TRUE(droppedWeak.expired());
  future->complete(3);
  drain(DispatchQueue::main());
  EXPECT_EQ(*kept, std::vector<int>{3});
  EXPECT_EQ(census->alive(), 2);  // delivered handlers stay with the future
  future->onSuccess([kept](int n) { kept->push_back(n); });
  future.reset();  // its delivery is still queued: it does nothing
  EXPECT_EQ(census->alive(), 0);
  drain(DispatchQueue::main());
  EXPECT_EQ(kept->size(), 1U);

  auto entered = std::make_shared<DispatchSemaphore>();
  auto leave = std::make_shared<DispatchSemaphore>();
  future = Future<int>::succeeded(1);
  future->onSuccess([entered, leave, c = census->member()](int) {
    entered->signal();
    leave->wait();
  });
  entered->wait();
  future.reset();
  EXPECT_EQ(census->alive(), 1);
  leave->signal();
  EXPECT_TRUE(waitFor([&] { return census->alive() == 0; }));
}

// Runs `hook` once, the first time `target` reaches `step` (a seam between
// two steps of a start, a registration or a completion).
using Step = mornik::detail::FutureStep;
struct Seam {
  static inline const void* target = nullptr;
  static inline Step step{};
  static inline std::function<void()> hook;
  static void at(Step reached, const void* future) {
    if (future == target && reached == step && hook) std::exchange(hook, nullptr)();
  }
};

// Another thread's start, completion or registration forced in between two
// steps: the work runs once and every handler exactly once, in order.
TEST(FutureRace, StartsRegistrationsAndCompletionsForcedInBetweenEachOther) {
  enum class Forced { secondStart, completion, registration };
  const struct {
    Step where;
    Forced forced;
    Log expected;
  } cases[] = {
      // The first registration claimed the start; a second one there must not.
      {Step::registered, Forced::secondStart, {"before", "second start", "after"}},
      // After the append, before the look at the state.
      {Step::registered, Forced::completion, {"before", "after"}},
      // Between the store of the result and the walk of the handlers.
      {Step::completionWalk, Forced::registration, {"before", "during", "after"}},
  };
  for (const auto& c : cases) {
    const DispatchQueue queue("test.race");
    Log log;  // queue work only
    std::atomic<int> runs{0};
    const bool withWork = c.forced == Forced::secondStart;
    auto future = withWork ? Future<int>::make(queue, [&] { return Result<int>(++runs); })
                           : Future<int>::promise(queue);
    auto record = [&](std::string entry) { return [&log, entry](int) { log.push_back(entry); }; };
    Seam::target = future.get();
    Seam::step = c.where;
    Seam::hook = [&] {
      if (c.forced == Forced::secondStart) future->onSuccess(record("second start"));
      if (c.forced == Forced::completion) future->complete(7);
      if (c.forced == Forced::registration) future->onSuccess(record("during"));
    };
    mornik::detail::futureSeam.store(&Seam::at);
    future->onSuccess(record("before"));
    future->complete(2);
    future->onSuccess(record("after"));
    drain(queue);
    mornik::detail::futureSeam.store(nullptr);
    EXPECT_EQ(runs.load(), withWork ? 1 : 0);
    EXPECT_EQ(log, c.expected);
  }
}

// A second call of id() while the first is making the id waits for it and
// returns the same id.
TEST(FutureRace, ACallOfIdWhileAnotherMakesItGetsTheSameId) {
  auto future = Future<int>::promise();
  std::atomic<bool> waited{false};
  std::atomic<bool> returned{false};
  FutureID second;
  std::thread other;
  Seam::target = future.get();
  Seam::step = Step::idMaking;
  Seam::hook = [&] {
    Seam::step = Step::idWaiting;
    Seam::hook = [&] { waited = true; };
    other = std::thread([&] {
      second = future->id();
      returned = true;
    });
    while (!waited && !returned) std::this_thread::yield();
  };
  mornik::detail::futureSeam.store(&Seam::at);
  const FutureID first = future->id();
  other.join();
  mornik::detail::futureSeam.store(nullptr);
  EXPECT_TRUE(waited);
  EXPECT_EQ(second, first);
  EXPECT_EQ(future->id(), first);
  EXPECT_NE(Future<int>::promise()->id(), first);
}

// The last queued delivery of a released handler begins and ends on its
// queue while the release is still in progress: the handler's block and
// shell go once, and the release does not touch them after the delivery
// (AddressSanitizer reports that use).
TEST(FutureRace, AReleaseOvertakenByItsQueuedDeliveryLeavesTheHandlerToOneOfThem) {
  auto census = test::Census::make();
  static std::function<void()> hook;
  const DispatchQueue queue("test.release");
  auto open = std::make_shared<DispatchSemaphore>();
  queue.async([open] { open->wait(); });
  auto future = Future<int>::succeeded(1);
  future->onSuccess(queue, [c = census->member()](int) {});
  hook = [&] {
    open->signal();
    queue.sync([] {});  // the delivery has begun and ended
  };
  mornik::detail::handlerReleaseSeam.store(+[] {
    if (auto once = std::exchange(hook, nullptr)) once();
  });
  future.reset();
  mornik::detail::handlerReleaseSeam.store(nullptr);
  EXPECT_EQ(hook, nullptr);
  EXPECT_EQ(census->alive(), 0);
}

}  // namespace
}  // namespace mornik::Flow
