#include "mornik/flow/future/FutureOperators.hpp"

#include <atomic>
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
#include "tests/support/Concurrently.hpp"
#include "tests/support/QueueGate.hpp"
#include "tests/support/ResultMatchers.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik::Flow {
namespace {

using test::drain;
using test::Failed;
using test::FailedWith;
using test::Succeeded;
using test::waitFor;

// ---- Derived futures: values, failures and queues ----

TEST(FutureMap, BlocksRunOnTheirQueueOnSuccessOnlyAndAThrowBecomesTheFailure) {
  const DispatchQueue sourceQueue("test.source");
  const DispatchQueue mapQueue("test.map");
  auto source = Future<int>::make(sourceQueue, []() -> Result<int> { return 21; });
  auto onGiven = source->map(
      mapQueue, [](int v) { return DispatchQueue::currentLabel() + "/" + std::to_string(2 * v); });
  auto onSources = source->map([](const int& v) { return std::to_string(v); });
  EXPECT_EQ(onGiven->queue(), mapQueue);
  EXPECT_EQ(onSources->queue(), sourceQueue);
  EXPECT_THAT(onGiven->wait(), Succeeded(std::string("test.map/42")));
  auto parsed = onSources->flatMap(
      mapQueue, [](const std::string& t) -> Result<int> { return std::stoi(t) + 1; });
  EXPECT_THAT(parsed->wait(), Succeeded(22));
  EXPECT_THAT(
      onSources->flatMap([](const std::string&) -> Result<int> { return WTF("no", 2); })->wait(),
      Failed(WTF("no", 2)));
  EXPECT_THAT(source->map([](int) -> int { throw WTF("bad value", 9); })->wait(),
              Failed(WTF("bad value", 9)));
  EXPECT_THAT(
      source->flatMap([](int) -> Result<int> { throw std::runtime_error("plain"); })->wait(),
      FailedWith("plain"));

  std::atomic<int> calls{0};
  auto failed = Future<int>::failed(WTF("no disk", 3));
  auto count = [&](int v) {
    ++calls;
    return v;
  };
  EXPECT_THAT(failed->map(mapQueue, count)->wait(), Failed(WTF("no disk", 3)));
  EXPECT_THAT(failed->flatMap([&](int v) { return Result<int>(count(v)); })->wait(),
              Failed(WTF("no disk", 3)));
  EXPECT_EQ(calls.load(), 0);

  // Void futures map from and to nothing.
  EXPECT_THAT(Future<void>::succeeded()->map([] { return 5; })->wait(), Succeeded(5));
  EXPECT_THAT(Future<int>::succeeded(7)->map([&](int v) { calls = v; })->wait(), Succeeded());
  EXPECT_EQ(calls.load(), 7);
  EXPECT_THAT(Future<void>::failed(WTF("gone", 1))->map([] { return 5; })->wait(),
              Failed(WTF("gone", 1)));
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

TEST(FutureFlatMapError, SuccessPassesThroughAndAFailureFromAnywhereInAChainIsRecovered) {
  const DispatchQueue queue("test.recover");
  std::atomic<int> calls{0};
  auto recover = [&](const Error&) -> Result<int> {
    ++calls;
    return 0;
  };
  EXPECT_THAT(Future<int>::succeeded(3)->flatMapError(recover)->wait(), Succeeded(3));
  EXPECT_EQ(calls.load(), 0);

  auto failed = Future<int>::failed(WTF("offline", 4));
  auto byValue = failed->flatMapError(queue, [](const Error& e) -> Result<int> {
    return DispatchQueue::currentLabel() == "test.recover" ? static_cast<int>(e.code()) * 100 : -1;
  });
  EXPECT_THAT(byValue->wait(), Succeeded(400));
  EXPECT_THAT(failed
                  ->flatMapError(
                      [](const Error& e) { return WTF("retry: " + e.localizedDescription(), 5); })
                  ->wait(),
              Failed(WTF("retry: offline", 5)));
  auto byFuture = failed->flatMapError(queue, [queue](const Error&) {
    return Future<int>::make(queue, []() -> Result<int> { return 8; });
  });
  EXPECT_THAT(byFuture->wait(), Succeeded(8));

  auto root = Future<int>::succeeded(2);  // a chain runs while its root is held
  auto chain = root->map([](int v) { return v + 1; })
                   ->flatMap([](int) -> Result<int> { return WTF("step two", 2); })
                   ->map([&](int v) { return v + ++calls; })
                   ->flatMapError([](const Error& e) { return static_cast<int>(e.code()) - 10; });
  EXPECT_THAT(chain->wait(), Succeeded(-8));
  EXPECT_EQ(calls.load(), 0);
}

// ---- Coroutine forms ----

Task<std::string> exclaimLater(const std::string& text) {
  co_await sleep(0.001);
  co_return text + "!";  // `text` must still be there after the suspension
}

TEST(FutureCoroutines, TaskBlocksRunOnTheQueueAndCompleteWithTheirValueOrThrownError) {
  const DispatchQueue queue("test.async");
  const std::string longText(200, 'x');  // on the heap: a dangling copy would show
  auto source = Future<std::string>::succeeded(longText);
  std::string startedOn;  // written on the queue, read after wait()
  auto mapped = source->map(queue, [&](const std::string& text) -> Task<std::string> {
    startedOn = DispatchQueue::currentLabel();
    return exclaimLater(text);
  });
  EXPECT_THAT(mapped->wait(), Succeeded(longText + "!"));
  EXPECT_EQ(startedOn, "test.async");
  auto thrown = source->flatMap([](const std::string&) -> Task<int> {
    co_await sleep(0.001);
    throw WTF("async step failed", 6);
  });
  EXPECT_THAT(thrown->wait(), Failed(WTF("async step failed", 6)));
  EXPECT_THAT(Future<void>::succeeded()->map([]() -> Task<int> { co_return 3; })->wait(),
              Succeeded(3));

  auto failed = Future<int>::failed(WTF("first", 1));
  auto recovered = failed->flatMapError([](const Error& e) -> Task<int> {
    co_await sleep(0.001);
    co_return static_cast<int>(e.code()) + 40;
  });
  EXPECT_THAT(recovered->wait(), Succeeded(41));
  auto rethrown = failed->flatMapError([](const Error& e) -> Task<int> {
    co_await sleep(0.001);
    throw WTF("again: " + e.localizedDescription(), 2);
  });
  EXPECT_THAT(rethrown->wait(), Failed(WTF("again: first", 2)));
  EXPECT_THAT(Future<int>::succeeded(5)
                  ->flatMapError([](const Error&) -> Task<int> { co_return 0; })
                  ->wait(),
              Succeeded(5));
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

// ---- Concurrency ----

TEST(FutureOperatorsStress, ChainsBuiltAndCompletedFromManyThreadsDeliverExactlyOnce) {
  const int chains = test::scaled(4000);
  const DispatchQueue delivery("test.stress.delivery");
  std::vector<std::shared_ptr<Future<int>>> roots;  // held for the whole test
  for (int i = 0; i < chains; ++i) roots.push_back(Future<int>::promise());
  std::vector<std::atomic<int>> deliveries(static_cast<std::size_t>(chains));
  std::atomic<long> sum{0};
  std::atomic<int> done{0};
  // Threads 0 and 1 build chains (two per root, racing on the root's
  // retained objects) and register on them; threads 2 and 3 complete the
  // roots meanwhile.
  test::runConcurrently(4, [&](int thread) {
    if (thread >= 2) {
      for (int i = thread - 2; i < chains; i += 2) roots[static_cast<std::size_t>(i)]->complete(i);
      return;
    }
    for (int i = 0; i < chains; ++i) {
      roots[static_cast<std::size_t>(i)]
          ->map(DispatchQueue::global(), [](int v) { return v + 1; })
          ->flatMap([thread](int v) -> Result<int> {
            if (v % 7 == 0) return WTF("seven", 7);
            return v * (thread + 1);
          })
          ->flatMapError([](const Error& e) { return static_cast<int>(-e.code()); })
          ->onSuccess(delivery, [&, i](int v) {
            deliveries[static_cast<std::size_t>(i)].fetch_add(1);
            sum.fetch_add(v);
            done.fetch_add(1);
          });
    }
  });
  ASSERT_TRUE(waitFor([&] { return done.load() == 2 * chains; }));
  drain(delivery);
  long expected = 0;
  for (int i = 0; i < chains; ++i) {
    ASSERT_EQ(deliveries[static_cast<std::size_t>(i)].load(), 2) << i;
    const int v = i + 1;
    expected += v % 7 == 0 ? -7L * 2 : static_cast<long>(v) * 3;
  }
  EXPECT_EQ(sum.load(), expected);
}

}  // namespace
}  // namespace mornik::Flow
