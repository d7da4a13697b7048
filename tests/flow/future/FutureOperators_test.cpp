#include "mornik/flow/future/FutureOperators.hpp"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/Task.hpp"
#include "mornik/flow/future/Future.hpp"
#include "mornik/flow/signal/Signal.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/QueueGate.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik::Flow {
namespace {

using test::drain;
using test::QueueGate;
using test::waitFor;

// Raises `flag` when its last copy is destroyed: captured by a block, it
// tells that the block (and whatever owned it) is gone.
class Witness {
 public:
  explicit Witness(std::shared_ptr<std::atomic<bool>> flag)
      : token_(std::make_shared<Token>(std::move(flag))) {}

 private:
  struct Token {
    explicit Token(std::shared_ptr<std::atomic<bool>> f) : flag(std::move(f)) {}
    Token(const Token&) = delete;
    Token& operator=(const Token&) = delete;
    ~Token() { flag->store(true); }
    std::shared_ptr<std::atomic<bool>> flag;
  };
  std::shared_ptr<Token> token_;
};

std::shared_ptr<std::atomic<bool>> makeFlag() { return std::make_shared<std::atomic<bool>>(false); }

// A block result that records the queue it ran on.
struct Labelled {
  int value = 0;
  std::string queue;
};

// ---- Derived futures: values, failures and queues ----

TEST(FutureMap, MapAndFlatMapRunOnTheirQueueAndPassFailuresWithoutTheBlock) {
  DispatchQueue sourceQueue("test.source");
  DispatchQueue mapQueue("test.map");
  auto source = Future<int>::make(sourceQueue, []() -> Result<int> { return 21; });

  auto onGiven = source->map(mapQueue, [](int v) {
    return Labelled{2 * v, DispatchQueue::currentLabel()};
  });
  auto onSources = source->map([](const int& v) { return std::to_string(v); });
  EXPECT_EQ(onGiven->queue(), mapQueue);
  EXPECT_EQ(onSources->queue(), sourceQueue);
  const Labelled labelled = onGiven->wait().value();
  EXPECT_EQ(labelled.value, 42);
  EXPECT_EQ(labelled.queue, "test.map");
  EXPECT_EQ(onSources->wait().value(), "21");
  auto parsed = onSources->flatMap(
      mapQueue, [](const std::string& text) -> Result<int> { return std::stoi(text) + 1; });
  auto rejected =
      onSources->flatMap([](const std::string&) -> Result<int> { return WTF("not wanted", 2); });
  EXPECT_EQ(parsed->wait().value(), 22);
  EXPECT_EQ(rejected->wait().error(), WTF("not wanted", 2));

  std::atomic<int> calls{0};
  auto failed = Future<int>::failed(WTF("no disk", 3));
  auto mapped = failed->map(mapQueue, [&](int v) {
    ++calls;
    return v;
  });
  auto flatMapped = failed->flatMap([&](int v) -> Result<int> {
    ++calls;
    return v;
  });
  EXPECT_EQ(mapped->wait().error(), WTF("no disk", 3));
  EXPECT_EQ(flatMapped->wait().error(), WTF("no disk", 3));
  EXPECT_EQ(calls.load(), 0);
}

TEST(FutureMap, ABlockThatThrowsFailsTheDerivedFutureWithTheThrownError) {
  auto source = Future<int>::succeeded(1);
  auto mapped = source->map([](int /*value*/) -> int { throw WTF("bad value", 9); });
  auto flatMapped =
      source->flatMap([](int /*value*/) -> Result<int> { throw std::runtime_error("plain"); });
  EXPECT_EQ(mapped->wait().error(), WTF("bad value", 9));
  EXPECT_EQ(flatMapped->wait().error().localizedDescription(), "plain");
}

TEST(FutureMap, VoidFuturesMapFromAndToNothing) {
  auto nothing = Future<void>::succeeded();
  EXPECT_EQ(nothing->map([] { return 5; })->wait().value(), 5);
  std::atomic<int> seen{0};
  auto seven = Future<int>::succeeded(7);
  auto toVoid = seven->map([&](int v) { seen = v; });
  EXPECT_TRUE(toVoid->wait().isSuccess());
  EXPECT_EQ(seen.load(), 7);
  auto failedVoid = Future<void>::failed(WTF("gone", 1));
  EXPECT_EQ(failedVoid->map([] { return 5; })->wait().error(), WTF("gone", 1));
  EXPECT_TRUE(
      failedVoid->flatMapError([](const Error&) { return Result<void>(); })->wait().isSuccess());
}

TEST(FutureFlatMap, AReturnedFutureIsFollowedWithoutHoldingTheQueue) {
  // The inner future's work runs on the same serial queue as the block: a
  // derived future that blocked that queue until the inner one completed
  // would never complete.
  DispatchQueue queue("test.flat");
  auto source = Future<int>::succeeded(4);
  auto chained = source->flatMap(queue, [queue](int v) {
    return Future<int>::make(queue, [v]() -> Result<int> { return v * 10; });
  });
  EXPECT_EQ(chained->wait().value(), 40);

  // The derived future keeps an inner future that nobody else holds until
  // it completes, and takes over its failure.
  auto promise = Future<int>::promise();
  const std::weak_ptr<Future<int>> inner = promise;
  std::atomic<bool> handedOver{false};
  auto later = source->flatMap(queue, [&handedOver, p = std::move(promise)](int /*value*/) mutable {
    handedOver = true;
    return std::move(p);
  });
  std::atomic<bool> done{false};
  later->onComplete([&](const Result<int>& /*result*/) { done = true; });
  ASSERT_TRUE(waitFor([&] { return handedOver.load(); }));
  drain(queue);
  EXPECT_FALSE(done.load());
  auto kept = inner.lock();
  ASSERT_NE(kept, nullptr);
  kept->complete(WTF("inner failed", 5));
  kept.reset();
  ASSERT_TRUE(waitFor([&] { return done.load(); }));
  EXPECT_EQ(later->wait().error(), WTF("inner failed", 5));
}

TEST(FutureFlatMapError, SuccessPassesThroughAndFailuresAreRecoveredOnTheQueue) {
  DispatchQueue queue("test.recover");
  std::atomic<int> calls{0};
  auto three = Future<int>::succeeded(3);
  auto ok = three->flatMapError([&](const Error&) {
    ++calls;
    return 0;
  });
  EXPECT_EQ(ok->wait().value(), 3);
  EXPECT_EQ(calls.load(), 0);

  auto failed = Future<int>::failed(WTF("offline", 4));
  std::string ranOn;  // written on queue, read after wait()
  auto byValue = failed->flatMapError(queue, [&](const Error& e) -> Result<int> {
    ranOn = DispatchQueue::currentLabel();
    return static_cast<int>(e.code()) * 100;
  });
  EXPECT_EQ(byValue->wait().value(), 400);
  EXPECT_EQ(ranOn, "test.recover");
  EXPECT_EQ(byValue->queue(), queue);

  auto stillFailing = failed->flatMapError(
      [](const Error& e) { return WTF("retry failed: " + e.localizedDescription(), 5); });
  EXPECT_EQ(stillFailing->wait().error(), WTF("retry failed: offline", 5));

  auto byFuture = failed->flatMapError(queue, [queue](const Error&) {
    return Future<int>::make(queue, []() -> Result<int> { return 8; });
  });
  EXPECT_EQ(byFuture->wait().value(), 8);
}

TEST(FutureFlatMapError, RecoversAFailureFromAnywhereInAChain) {
  std::atomic<int> laterCalls{0};
  auto root = Future<int>::succeeded(2);
  auto chain = root->map([](int v) { return v + 1; })
                   ->flatMap([](int) -> Result<int> { return WTF("step two", 2); })
                   ->map([&](int v) {
                     ++laterCalls;
                     return v;
                   })
                   ->flatMapError([](const Error& e) { return static_cast<int>(e.code()) - 10; });
  EXPECT_EQ(chain->wait().value(), -8);
  EXPECT_EQ(laterCalls.load(), 0);
}

// ---- Coroutine forms ----

Task<std::string> exclaimLater(const std::string& text) {
  co_await sleep(0.001);
  // `text` must still be there after the suspension.
  co_return text + "!";
}

TEST(FutureCoroutines, TaskBlocksRunOnTheQueueAndCompleteWithTheirOutcome) {
  DispatchQueue queue("test.async");
  const std::string longText(200, 'x');  // on the heap: a dangling copy would show
  auto source = Future<std::string>::succeeded(longText);

  std::string startedOn;  // written on queue, read after wait()
  auto mapped = source->map(queue, [&](const std::string& text) -> Task<std::string> {
    startedOn = DispatchQueue::currentLabel();
    return exclaimLater(text);
  });
  EXPECT_EQ(mapped->wait().value(), longText + "!");
  EXPECT_EQ(startedOn, "test.async");
  EXPECT_EQ(mapped->queue(), queue);

  auto sized = source->flatMap(queue, [](const std::string& text) -> Task<std::size_t> {
    co_await sleep(0.001);
    co_return text.size();
  });
  EXPECT_EQ(sized->wait().value(), 200U);

  auto thrown = source->flatMap([](const std::string&) -> Task<int> {
    co_await sleep(0.001);
    throw WTF("async step failed", 6);
  });
  EXPECT_EQ(thrown->wait().error(), WTF("async step failed", 6));

  auto voidRoot = Future<void>::succeeded();
  auto nothing = voidRoot->map([]() -> Task<int> { co_return 3; });
  EXPECT_EQ(nothing->wait().value(), 3);
}

TEST(FutureCoroutines, ATaskRecoversAFailureOrFailsWithWhatItThrows) {
  auto failed = Future<int>::failed(WTF("first", 1));
  auto recovered = failed->flatMapError([](const Error& e) -> Task<int> {
    co_await sleep(0.001);
    co_return static_cast<int>(e.code()) + 40;
  });
  EXPECT_EQ(recovered->wait().value(), 41);

  auto rethrown = failed->flatMapError([](const Error& e) -> Task<int> {
    co_await sleep(0.001);
    throw WTF("again: " + e.localizedDescription(), 2);
  });
  EXPECT_EQ(rethrown->wait().error(), WTF("again: first", 2));

  std::atomic<int> calls{0};
  auto five = Future<int>::succeeded(5);
  auto untouched = five->flatMapError([&](const Error&) -> Task<int> {
    ++calls;
    co_return 0;
  });
  EXPECT_EQ(untouched->wait().value(), 5);
  EXPECT_EQ(calls.load(), 0);
}

// ---- Ownership and laziness ----

TEST(FutureChain, BuildingAChainRunsNothingUntilItsLastLinkIsObserved) {
  DispatchQueue queue("test.chain");
  std::atomic<int> started{0};
  std::atomic<int> mapped{0};
  auto root = Future<int>::make(queue, [&]() -> Result<int> {
    ++started;
    return 1;
  });
  auto last = root->map([&](int v) {
    ++mapped;
    return v + 1;
  });
  last = last->map([&](int v) {
    ++mapped;
    return v * 10;
  });
  drain(queue);
  EXPECT_EQ(started.load(), 0);
  EXPECT_EQ(mapped.load(), 0);
  EXPECT_EQ(last->wait().value(), 20);
  EXPECT_EQ(started.load(), 1);
  EXPECT_EQ(mapped.load(), 2);
}

TEST(FutureChain, AVeryLongChainStartsAndCompletesWithoutExhaustingTheStack) {
  // Starting the last link starts every link back to the root; nested
  // within one call that would take a stack frame or more per link.
  constexpr int kLinks = 20'000;
  auto root = Future<int>::promise(DispatchQueue("test.long"));
  std::shared_ptr<Future<int>> last = root;
  for (int i = 0; i < kLinks; ++i) last = last->map([](int v) { return v + 1; });
  std::atomic<int> delivered{-1};
  last->onSuccess([&](int v) { delivered = v; });
  root->complete(0);
  ASSERT_TRUE(waitFor([&] { return delivered.load() >= 0; }));
  EXPECT_EQ(delivered.load(), kLinks);
}

TEST(FutureChain, AChainTheCallerDroppedStillCompletesWhileItsRootIsHeld) {
  DispatchQueue queue("test.chain");
  std::vector<std::shared_ptr<Future<int>>> holder;  // stands for a pool
  auto root = Future<int>::promise(queue);
  holder.push_back(root);
  std::atomic<int> delivered{0};
  auto gone = makeFlag();
  {
    auto last = root->map([](int v) { return v + 1; })
                    ->map([witness = Witness(gone)](int v) { return v * 2; })
                    ->map([](int v) { return v - 3; });
    last->onSuccess([&](int v) { delivered = v; });
  }
  root.reset();
  drain(queue);
  EXPECT_FALSE(gone->load());  // the root keeps every link
  holder.front()->complete(10);
  ASSERT_TRUE(waitFor([&] { return delivered.load() != 0; }));
  EXPECT_EQ(delivered.load(), 19);

  holder.clear();
  ASSERT_TRUE(waitFor([&] { return gone->load(); }));
}

TEST(FutureChain, AChainWhoseRootNobodyHoldsNeverCompletes) {
  DispatchQueue queue("test.chain");
  auto rootGone = makeFlag();
  auto linkGone = makeFlag();
  std::atomic<int> ran{0};
  std::shared_ptr<Future<int>> last;
  {
    auto root = Future<int>::make(queue, [&ran, witness = Witness(rootGone)]() -> Result<int> {
      ++ran;
      return 1;
    });
    last = root->map([&ran, witness = Witness(linkGone)](int v) {
      ++ran;
      return v;
    });
    last = last->map([&ran](int v) {
      ++ran;
      return v;
    });
  }
  // The last link does not keep its source, nor the root, alive.
  EXPECT_TRUE(rootGone->load());
  EXPECT_TRUE(linkGone->load());

  std::atomic<bool> completed{false};
  last->onComplete(queue, [&](const Result<int>& /*result*/) { completed = true; });
  drain(queue);
  drain(queue);
  EXPECT_FALSE(completed.load());
  EXPECT_EQ(ran.load(), 0);
  EXPECT_FALSE(last->maybeSuccess().has_value());
  EXPECT_FALSE(last->maybeFailure().has_value());
}

// ---- Forwarding ----

TEST(FutureForwarding, CompletingForwardsToATargetHeldStronglyOrWeakly) {
  DispatchQueue queue("test.forward");
  auto source = Future<int>::promise();

  std::atomic<int> strongSeen{0};
  std::weak_ptr<Future<int>> strongTarget;
  {
    auto target = Future<int>::promise();
    target->onSuccess(queue, [&](int v) { strongSeen = v; });
    strongTarget = target;
    EXPECT_EQ(&source->completing(target, queue, true), source.get());
  }
  EXPECT_FALSE(strongTarget.expired());

  std::weak_ptr<Future<int>> weakTarget;
  {
    auto target = Future<int>::promise();
    weakTarget = target;
    source->completing(target, false);
  }
  EXPECT_TRUE(weakTarget.expired());

  auto liveTarget = Future<int>::promise();
  source->completing(liveTarget, std::nullopt, false);

  source->complete(6);
  ASSERT_TRUE(waitFor([&] { return strongSeen.load() == 6; }));
  EXPECT_EQ(liveTarget->wait().value(), 6);
}

TEST(FutureForwarding, UpdatingSendsValuesAndErrorsToSignalsHeldStronglyOrWeakly) {
  DispatchQueue queue("test.forward");
  auto values = Signal<int>::make(queue);
  auto errors = Signal<Error>::make(queue);
  std::weak_ptr<Signal<int>> weakOwned;
  std::weak_ptr<Signal<int>> weakDropped;
  auto ok = Future<int>::promise();
  {
    auto owned = Signal<int>::make(queue);
    auto dropped = Signal<int>::make(queue);
    weakOwned = owned;
    weakDropped = dropped;
    ok->updating(values, queue, false).updating(owned, true).updating(dropped, false);
  }
  EXPECT_FALSE(weakOwned.expired());
  EXPECT_TRUE(weakDropped.expired());
  ok->complete(4);
  auto failed = Future<int>::failed(WTF("lost", 8));
  failed->updating(values, true).updatingError(errors, false);
  ASSERT_TRUE(waitFor([&] { return values->currentValue() == 4; }));
  ASSERT_TRUE(waitFor([&] { return weakOwned.lock()->currentValue() == 4; }));
  ASSERT_TRUE(waitFor([&] { return errors->currentValue().has_value(); }));
  EXPECT_EQ(errors->currentValue(), WTF("lost", 8));
}

// ---- Writes into objects ----

struct Model {
  int count = 0;
  std::optional<int> maybe;
  std::vector<int> log;
  std::string text;
  Error error = WTF("none yet", 0);
  std::optional<Error> maybeError;
  std::vector<Error> errors;
  std::string lastQueue;
};

TEST(FutureWrites, ValuesAndErrorsAreWrittenOnTheGivenQueueIntoLiveObjectsOnly) {
  DispatchQueue queue("test.writes");
  auto model = std::make_shared<Model>();
  auto ok = Future<int>::succeeded(5);
  ok->assign(model, &Model::count, queue)
      .assign(model, &Model::maybe, queue)
      .append(model, &Model::log, queue)
      .append(
          model, [](Model& m, int v) { m.log.push_back(v * 10); }, queue)
      .assign(
          model,
          [](Model& m, int v) {
            m.text = std::to_string(v);
            m.lastQueue = DispatchQueue::currentLabel();
          },
          queue)
      .assignFailure(model, &Model::maybeError, queue);  // a success writes no error
  auto bad = Future<int>::failed(WTF("broken", 3));
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
  EXPECT_EQ(model->text, "5");
  EXPECT_EQ(model->lastQueue, "test.writes");
  EXPECT_EQ(model->error, WTF("broken", 3));
  EXPECT_EQ(model->maybeError, WTF("broken", 3));
  EXPECT_EQ(model->errors, (std::vector<Error>{WTF("broken", 3), WTF("broken", 3)}));

  // A released object is skipped and nothing fails.
  std::weak_ptr<Model> weakModel = model;
  auto later = Future<int>::promise();
  later->assign(model, &Model::count, queue).append(model, &Model::log, queue);
  model.reset();
  EXPECT_TRUE(weakModel.expired());
  later->complete(9);
  drain(queue);
  EXPECT_EQ(later->wait().value(), 9);
}

// ---- Concurrency ----

TEST(FutureOperatorsStress, ChainsBuiltAndCompletedFromManyThreadsDeliverExactlyOnce) {
  const int chains = test::scaled(4000);
  DispatchQueue delivery("test.stress.delivery");
  std::vector<std::shared_ptr<Future<int>>> roots;  // held for the whole test
  for (int i = 0; i < chains; ++i) roots.push_back(Future<int>::promise());
  std::vector<std::atomic<int>> deliveries(static_cast<std::size_t>(chains));
  std::atomic<long> sum{0};
  std::atomic<int> done{0};
  // Threads 0 and 1 build chains (two per root, racing on the root's
  // retained list) and register on them; threads 2 and 3 complete the
  // roots meanwhile.
  test::runConcurrently(4, [&](int thread) {
    if (thread < 2) {
      for (int i = 0; i < chains; ++i) {
        auto last = roots[static_cast<std::size_t>(i)]
                        ->map(DispatchQueue::global(), [](int v) { return v + 1; })
                        ->flatMap([thread](int v) -> Result<int> {
                          if (v % 7 == 0) return WTF("seven", 7);
                          return v * (thread + 1);
                        })
                        ->flatMapError([](const Error& e) { return static_cast<int>(-e.code()); });
        last->onSuccess(delivery, [&, i](int v) {
          deliveries[static_cast<std::size_t>(i)].fetch_add(1);
          sum.fetch_add(v);
          done.fetch_add(1);
        });
      }
    } else {
      for (int i = thread - 2; i < chains; i += 2) roots[static_cast<std::size_t>(i)]->complete(i);
    }
  });
  ASSERT_TRUE(waitFor([&] { return done.load() == 2 * chains; }));
  drain(delivery);
  long expected = 0;
  for (int i = 0; i < chains; ++i) {
    EXPECT_EQ(deliveries[static_cast<std::size_t>(i)].load(), 2) << i;
    const int v = i + 1;
    expected += v % 7 == 0 ? -7L * 2 : static_cast<long>(v) * 3;
  }
  EXPECT_EQ(sum.load(), expected);
}

}  // namespace
}  // namespace mornik::Flow
