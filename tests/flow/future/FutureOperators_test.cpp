#include "mornik/flow/future/FutureOperators.hpp"

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/Task.hpp"
#include "mornik/flow/future/Future.hpp"
#include "mornik/flow/signal/Signal.hpp"

#include "tests/support/Census.hpp"
#include "tests/support/QueueGate.hpp"
#include "tests/support/ResultMatchers.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik::Flow {
namespace {

using test::drain;
using test::Failed;
using test::Succeeded;
using test::waitFor;

// ---- Derived futures: values, failures and queues ----

Task<std::string> exclaimLater(const std::string& text) {
  co_await sleep(0.001);
  co_return text + "!";  // `text` must still be there after the suspension
}

// Whether a block runs on the queue the operator was given.
bool onTestQueue() { return DispatchQueue::currentLabel() == "test.ops"; }

// Each operator, on a source that succeeds or fails: the derived future's
// outcome. Blocks that must not run return 99; blocks check their queue.
TEST(FutureOperators, DeriveTheOutcomesOfTheTableOnTheGivenQueue) {
  using F = std::shared_ptr<Future<int>>;
  const DispatchQueue q("test.ops");
  const Error e = WTF("no disk", 3);
  struct Row {
    const char* name;
    Result<int> source;
    std::function<F(const F&)> derive;
    Result<int> expected;
  };
  const std::vector<Row> rows{
      {"map", 21,
       [&](const F& f) { return f->map(q, [](int v) { return onTestQueue() ? 2 * v : -1; }); }, 42},
      {"map, failed source", e, [&](const F& f) { return f->map(q, [](int) { return 99; }); }, e},
      {"map, block throws", 1,
       [](const F& f) { return f->map([](int) -> int { throw WTF("bad", 9); }); }, WTF("bad", 9)},
      {"map to a task", 5,
       [&](const F& f) {
         return f->map(q, [](int v) -> Task<int> {
           co_await sleep(0.001);
           co_return onTestQueue() ? v* v : -1;
         });
       },
       25},
      {"flatMap", 21,
       [&](const F& f) {
         return f->flatMap(q, [](int v) -> Result<int> { return onTestQueue() ? v + 1 : -1; });
       },
       22},
      {"flatMap to a failure", 1,
       [](const F& f) { return f->flatMap([](int) -> Result<int> { return WTF("no", 2); }); },
       WTF("no", 2)},
      {"flatMap, failed source", e,
       [](const F& f) { return f->flatMap([](int) -> Result<int> { return 99; }); }, e},
      {"flatMap, block throws", 1,
       [](const F& f) { return f->flatMap([](int) -> Result<int> { throw WTF("plain", 1); }); },
       WTF("plain", 1)},
      // The inner future's work runs on the block's serial queue: a derived
      // future that blocked that queue until it completed would never complete.
      {"flatMap to a future", 4,
       [&](const F& f) {
         return f->flatMap(q, [&](int v) {
           return Future<int>::make(q, [v]() -> Result<int> { return v * 10; });
         });
       },
       40},
      {"flatMap to a task that throws", 5,
       [](const F& f) {
         return f->flatMap([](int) -> Task<int> {
           co_await sleep(0.001);
           throw WTF("async", 6);
         });
       },
       WTF("async", 6)},
      {"flatMapError, succeeded source", 3,
       [](const F& f) { return f->flatMapError([](const Error&) { return 99; }); }, 3},
      {"flatMapError to a value", e,
       [&](const F& f) {
         return f->flatMapError(
             q, [](const Error& x) { return onTestQueue() ? int(x.code()) * 100 : -1; });
       },
       300},
      {"flatMapError to an error", e,
       [](const F& f) {
         return f->flatMapError(
             [](const Error& x) { return WTF("retry: " + x.localizedDescription(), 5); });
       },
       WTF("retry: no disk", 5)},
      {"flatMapError to a future", e,
       [&](const F& f) {
         return f->flatMapError(q, [&](const Error&) {
           return Future<int>::make(q, []() -> Result<int> { return 8; });
         });
       },
       8},
      {"flatMapError to a task", e,
       [](const F& f) {
         return f->flatMapError([](const Error& x) -> Task<int> {
           co_await sleep(0.001);
           co_return int(x.code()) + 40;
         });
       },
       43},
      {"flatMapError to a task that throws", e,
       [](const F& f) {
         return f->flatMapError([](const Error&) -> Task<int> {
           co_await sleep(0.001);
           throw WTF("again", 2);
         });
       },
       WTF("again", 2)},
      {"flatMapError to a task, succeeded source", 5,
       [](const F& f) { return f->flatMapError([](const Error&) -> Task<int> { co_return 99; }); },
       5},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto source = Future<int>::make(row.source);
    EXPECT_EQ(row.derive(source)->wait(), row.expected);
  }
  // A derived future without a queue takes its source's; a task's argument
  // lives until the task ends; void futures map from and to nothing.
  EXPECT_EQ(Future<int>::promise(q)->map([](int v) { return v; })->queue(), q);
  const std::string longText(200, 'x');  // on the heap: a dangling copy would show
  auto text = Future<std::string>::succeeded(longText);
  EXPECT_THAT(text->map([](const std::string& t) { return exclaimLater(t); })->wait(),
              Succeeded(longText + "!"));
  auto nothing = Future<void>::succeeded();
  EXPECT_THAT(nothing->map([] { return 5; })->wait(), Succeeded(5));
  EXPECT_THAT(Future<int>::make(e)->map([](int) {})->wait(), Failed(e));
}

TEST(FutureFlatMap, AReturnedFutureIsFollowedWithoutHoldingTheQueueAndKeptUntilItCompletes) {
  // The inner future's work runs on the block's serial queue: a derived
  // future that blocked that queue until the inner one completed would never
  // complete.
  const DispatchQueue queue("test.flat");
  auto source = Future<int>::succeeded(4);
  auto chained = source->flatMap(queue, [queue](int v) {
    return Future<int>::make(queue, [v]() -> Result<int> { return v * 10; });
  });
  EXPECT_THAT(chained->wait(), Succeeded(40));

  auto promise = Future<int>::promise();
  const std::weak_ptr<Future<int>> inner = promise;
  std::atomic<bool> handedOver{false};
  auto later = source->flatMap(queue, [&handedOver, p = std::move(promise)](int) mutable {
    handedOver = true;
    return std::move(p);
  });
  std::atomic<bool> done{false};
  later->onComplete([&](const Result<int>&) { done = true; });
  ASSERT_TRUE(waitFor([&] { return handedOver.load(); }));
  drain(queue);
  EXPECT_FALSE(done.load());
  auto kept = inner.lock();  // nobody but the derived future holds it
  ASSERT_NE(kept, nullptr);
  kept->complete(WTF("inner failed", 5));
  kept.reset();
  EXPECT_THAT(later->wait(), Failed(WTF("inner failed", 5)));
}

// ---- Ownership and laziness ----

TEST(FutureChain, NothingRunsUntilTheLastLinkIsObservedAndThenOnlyWhileTheRootIsHeld) {
  const DispatchQueue queue("test.chain");
  std::atomic<int> ran{0};
  auto census = test::Census::make();
  auto root = Future<int>::make(queue, [&]() -> Result<int> { return ++ran; });
  auto last = root->map([&ran, c = census->member()](int v) { return v + ++ran; })->map([](int v) {
    return v * 10;
  });
  drain(queue);
  EXPECT_EQ(ran.load(), 0);
  std::atomic<int> delivered{0};
  last->onSuccess([&](int v) { delivered = v; });
  last.reset();  // the root keeps every link
  ASSERT_TRUE(waitFor([&] { return delivered.load() != 0; }));
  EXPECT_EQ(delivered.load(), 30);
  EXPECT_EQ(census->alive(), 1);
  root.reset();
  EXPECT_EQ(census->alive(), 0);

  // The last link keeps neither its source nor the root alive: a chain whose
  // root nobody holds never runs.
  auto orphan = Future<int>::make(queue, [&ran, c = census->member()]() -> Result<int> {
                  return ++ran;
                })->map([&ran](int v) { return v + ++ran; });
  EXPECT_EQ(census->alive(), 0);
  std::atomic<bool> completed{false};
  orphan->onComplete(queue, [&](const Result<int>&) { completed = true; });
  drain(queue);
  drain(queue);
  EXPECT_FALSE(completed.load());
  EXPECT_EQ(ran.load(), 2);
}

TEST(FutureChain, AVeryLongChainStartsCompletesAndGoesWithoutExhaustingTheStack) {
  // Starting the last link starts every link back to the root, and releasing
  // the root releases every link: nested, each would take stack frames.
  constexpr int kLinks = 20'000;
  auto root = Future<int>::promise(DispatchQueue("test.long"));
  std::shared_ptr<Future<int>> last = root;
  for (int i = 0; i < kLinks; ++i) last = last->map([](int v) { return v + 1; });
  std::atomic<int> delivered{-1};
  last->onSuccess([&](int v) { delivered = v; });
  last.reset();
  root->complete(0);
  ASSERT_TRUE(waitFor([&] { return delivered.load() >= 0; }));
  EXPECT_EQ(delivered.load(), kLinks);
  root.reset();
}

// ---- Forwarding and writes ----

TEST(FutureForwarding, CompletingAndUpdatingReachTargetsHeldStronglyOrWeakly) {
  const DispatchQueue queue("test.forward");
  auto source = Future<int>::promise();
  std::weak_ptr<Future<int>> strongTarget;
  std::weak_ptr<Future<int>> weakTarget;
  std::weak_ptr<Signal<int>> strongSignal;
  std::weak_ptr<Signal<int>> weakSignal;
  auto liveTarget = Future<int>::promise();
  auto values = Signal<int>::make(queue);
  {
    auto target = Future<int>::promise();
    auto dropped = Future<int>::promise();
    auto owned = Signal<int>::make(queue);
    auto droppedSignal = Signal<int>::make(queue);
    strongTarget = target;
    weakTarget = dropped;
    strongSignal = owned;
    weakSignal = droppedSignal;
    EXPECT_EQ(&source->completing(target, queue, true), source.get());
    source->completing(dropped, false).completing(liveTarget, std::nullopt, false);
    source->updating(values, queue, false).updating(owned, true).updating(droppedSignal, false);
  }
  EXPECT_FALSE(strongTarget.expired());
  EXPECT_TRUE(weakTarget.expired());
  EXPECT_FALSE(strongSignal.expired());
  EXPECT_TRUE(weakSignal.expired());
  source->complete(6);
  EXPECT_THAT(liveTarget->wait(), Succeeded(6));
  EXPECT_THAT(strongTarget.lock()->wait(), Succeeded(6));
  ASSERT_TRUE(waitFor(
      [&] { return values->currentValue() == 6 && strongSignal.lock()->currentValue() == 6; }));

  auto errors = Signal<Error>::make(queue);
  auto failed = Future<int>::failed(WTF("lost", 8));  // held: releasing it would silence it
  failed->updating(values, true).updatingError(errors, false);
  ASSERT_TRUE(waitFor([&] { return errors->currentValue().has_value(); }));
  EXPECT_EQ(errors->currentValue(), WTF("lost", 8));
  drain(queue);
  EXPECT_EQ(values->currentValue(), 6);
}

struct Model {
  int count = 0;
  std::optional<int> maybe;
  std::vector<int> log;
  std::string text;
  Error error = WTF("none yet", 0);
  std::optional<Error> maybeError;
  std::vector<Error> errors;
};

TEST(FutureWrites, ValuesAndErrorsAreWrittenOnTheGivenQueueIntoLiveObjectsOnly) {
  const DispatchQueue queue("test.writes");
  auto model = std::make_shared<Model>();
  auto ok = Future<int>::succeeded(5);
  auto bad = Future<int>::failed(WTF("broken", 3));
  ok->assign(model, &Model::count, queue)
      .assign(model, &Model::maybe, queue)
      .append(model, &Model::log, queue)
      .append(
          model, [](Model& m, int v) { m.log.push_back(v * 10); }, queue)
      .assign(
          model,
          [](Model& m, int v) { m.text = std::to_string(v) + DispatchQueue::currentLabel(); },
          queue)
      .assignFailure(model, &Model::maybeError, queue);  // a success writes no error
  bad->assignFailure(model, &Model::error, queue)
      .appendFailure(model, &Model::errors, queue)
      .appendFailure(
          model, [](Model& m, const Error& e) { m.errors.push_back(e); }, queue)
      .assignFailure(
          model, [](Model& m, const Error& e) { m.maybeError = e; }, queue)
      .assign(model, &Model::count, queue);  // a failure writes no value
  drain(queue);
  EXPECT_EQ(model->count, 5);
  EXPECT_EQ(model->maybe, 5);
  EXPECT_EQ(model->log, (std::vector<int>{5, 50}));
  EXPECT_EQ(model->text, "5test.writes");
  EXPECT_EQ(model->error, WTF("broken", 3));
  EXPECT_EQ(model->maybeError, WTF("broken", 3));
  EXPECT_EQ(model->errors, (std::vector<Error>{WTF("broken", 3), WTF("broken", 3)}));

  // A released object is skipped and nothing fails.
  const std::weak_ptr<Model> weakModel = model;
  auto later = Future<int>::promise();
  later->assign(model, &Model::count, queue).append(model, &Model::log, queue);
  model.reset();
  EXPECT_TRUE(weakModel.expired());
  later->complete(9);
  drain(queue);
}

}  // namespace
}  // namespace mornik::Flow
