#include "mornik/flow/signal/SignalOperators.hpp"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
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

// Records what a signal delivers, on a serial queue of its own.
template <class T>
class Collector {
 public:
  explicit Collector(Signal<T>& signal) : state_(std::make_shared<State>()) {
    signal.onUpdate(queue_, [state = state_](const T& value) { state->values.push_back(value); });
  }
  // The values delivered so far, once everything submitted before the call ran.
  std::vector<T> values() const {
    drain(queue_);
    return state_->values;
  }

 private:
  struct State {
    std::vector<T> values;  // queue_ only
  };
  DispatchQueue queue_{"test.collector"};
  std::shared_ptr<State> state_;
};

// Update `signal` with each value, then wait until the handlers on `queues`
// have run.
template <class T>
void feed(Signal<T>& signal, const std::vector<T>& values,
          const std::vector<DispatchQueue>& queues) {
  for (const T& value : values) signal.update(value);
  for (const DispatchQueue& queue : queues) drain(queue);
}

// ---- map ----

TEST(SignalMap, TransformsOnTheSourcesQueueAndFeedsASignalOnTheGivenQueue) {
  DispatchQueue sourceQueue("test.source");
  DispatchQueue derivedQueue("test.derived");
  auto source = Signal<int>::make(sourceQueue, 3);
  std::vector<std::string> transformQueues;  // sourceQueue only
  std::shared_ptr<Signal<std::string>> derived;
  {
    QueueGate gate(sourceQueue);
    derived = source->map(derivedQueue, [&](int v) {
      transformQueues.push_back(DispatchQueue::currentLabel());
      return std::to_string(2 * v);
    });
    // The buffered 3 reaches the derived signal only when the handler ran.
    EXPECT_EQ(derived->currentValue(), std::nullopt);
  }
  drain(sourceQueue);
  EXPECT_EQ(derived->currentValue(), "6");
  EXPECT_EQ(derived->queue(), derivedQueue);

  std::vector<std::string> seen;  // derivedQueue only
  std::string seenOn;
  derived->onUpdate([&](const std::string& value) {
    seen.push_back(value);
    seenOn = DispatchQueue::currentLabel();
  });
  feed(*source, {5}, {sourceQueue, derivedQueue});
  EXPECT_EQ(seen, (std::vector<std::string>{"6", "10"}));
  EXPECT_EQ(seenOn, "test.derived");
  EXPECT_EQ(transformQueues, (std::vector<std::string>{"test.source", "test.source"}));

  auto onSources = source->map([](int v) { return v * 1.5; });
  EXPECT_EQ(onSources->queue(), sourceQueue);
}

TEST(SignalMap, AContextValueIsHeldAsLongAsTheSourceAndHandedToEveryCall) {
  DispatchQueue queue("test.source");
  auto source = Signal<int>::make(queue);
  auto prefix = std::make_shared<std::string>("n=");
  std::weak_ptr<std::string> weakPrefix = prefix;
  auto derived = source->map(
      prefix, std::nullopt,
      [](const std::shared_ptr<std::string>& p, int v) { return *p + std::to_string(v); });
  prefix.reset();
  EXPECT_FALSE(weakPrefix.expired());
  Collector<std::string> collected(*derived);
  feed(*source, {1, 2}, {queue});
  EXPECT_EQ(collected.values(), (std::vector<std::string>{"n=1", "n=2"}));

  source.reset();
  ASSERT_TRUE(waitFor([&] { return weakPrefix.expired(); }));
}

// ---- filter ----

TEST(SignalFilter, PassesMatchingValuesTestedOnTheDerivedQueue) {
  DispatchQueue sourceQueue("test.source");
  DispatchQueue derivedQueue("test.derived");
  auto source = Signal<int>::make(sourceQueue);
  std::vector<std::string> predicateQueues;  // derivedQueue only
  auto evens = source->filter(derivedQueue, [&](int v) {
    predicateQueues.push_back(DispatchQueue::currentLabel());
    return v % 2 == 0;
  });
  Collector<int> collected(*evens);
  feed(*source, {1, 2, 3, 4}, {sourceQueue, derivedQueue});
  EXPECT_EQ(collected.values(), (std::vector<int>{2, 4}));
  EXPECT_EQ(predicateQueues, std::vector<std::string>(4, "test.derived"));
  EXPECT_EQ(evens->queue(), derivedQueue);
  EXPECT_EQ(source->filter([](int) { return true; })->queue(), sourceQueue);
}

TEST(SignalFilter, NothingPassesOnceTheContextObjectIsGone) {
  DispatchQueue queue("test.source");
  struct Limit {
    int max = 10;
  };
  auto limit = std::make_shared<Limit>();
  auto source = Signal<int>::make(queue);
  auto small = source->filter(limit, [](Limit& l, int v) { return v <= l.max; });
  auto viaPointer = source->filter(
      limit, queue, [](const std::shared_ptr<Limit>& l, int v) { return v > l->max; });
  Collector<int> collectedSmall(*small);
  Collector<int> collectedLarge(*viaPointer);
  feed(*source, {5, 50}, {queue});
  limit.reset();
  feed(*source, {6, 60}, {queue});
  EXPECT_EQ(collectedSmall.values(), std::vector<int>{5});
  EXPECT_EQ(collectedLarge.values(), std::vector<int>{50});
}

// ---- skip ----

TEST(SignalSkip, DropsTheFirstValuesCountingTheBufferedOneAndPassesAllForCountsBelowOne) {
  DispatchQueue queue("test.source");
  auto empty = Signal<std::string>::make(queue);
  auto afterTwo = empty->skip(2);
  Collector<std::string> fromEmpty(*afterTwo);
  feed(*empty, {"a", "b", "c", "d"}, {queue});
  EXPECT_EQ(fromEmpty.values(), (std::vector<std::string>{"c", "d"}));

  auto holding = Signal<std::string>::make(queue, "x");
  auto alsoAfterTwo = holding->skip(2, DispatchQueue("test.count"));
  Collector<std::string> fromHolding(*alsoAfterTwo);
  auto afterFirst = holding->skipFirst();
  auto none = holding->skip(0);
  auto negative = holding->skip(-3, queue);
  Collector<std::string> fromFirst(*afterFirst);
  Collector<std::string> fromNone(*none);
  Collector<std::string> fromNegative(*negative);
  feed(*holding, {"a", "b", "c"}, {queue, alsoAfterTwo->queue()});
  EXPECT_EQ(fromHolding.values(), (std::vector<std::string>{"b", "c"}));
  EXPECT_EQ(fromFirst.values(), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(fromNone.values(), (std::vector<std::string>{"x", "a", "b", "c"}));
  EXPECT_EQ(fromNegative.values(), (std::vector<std::string>{"x", "a", "b", "c"}));

  // On an empty source, skipFirst() drops the first update.
  auto fresh = Signal<std::string>::make(queue);
  auto freshAfterFirst = fresh->skipFirst();
  Collector<std::string> fromFresh(*freshAfterFirst);
  feed(*fresh, {"p", "q"}, {queue});
  EXPECT_EQ(fromFresh.values(), std::vector<std::string>{"q"});
}

TEST(SignalSkip, CountsOnTheGivenQueueOrOnTheSourcesQueue) {
  DispatchQueue sourceQueue("test.source");
  DispatchQueue countQueue("test.count");
  auto source = Signal<int>::make(sourceQueue);
  auto counted = source->skip(1, countQueue);
  auto plain = source->skip(1);
  EXPECT_EQ(counted->queue(), countQueue);
  EXPECT_EQ(plain->queue(), sourceQueue);
  {
    // While the counting queue is held, nothing reaches the counted signal,
    // while the plain one (counted on the source's queue) moves on.
    QueueGate gate(countQueue);
    feed(*source, {1, 2}, {sourceQueue});
    EXPECT_EQ(counted->currentValue(), std::nullopt);
    EXPECT_EQ(plain->currentValue(), 2);
  }
  drain(countQueue);
  EXPECT_EQ(counted->currentValue(), 2);
}

// ---- distinct ----

TEST(SignalDistinct, DropsRepeatsOfTheLastValueLetThrough) {
  DispatchQueue queue("test.source");
  auto source = Signal<int>::make(queue);
  auto distinct = source->distinct();
  EXPECT_EQ(distinct->queue(), queue);
  Collector<int> collected(*distinct);
  feed(*source, {1, 1, 2, 2, 1}, {queue});
  EXPECT_EQ(collected.values(), (std::vector<int>{1, 2, 1}));

  // Clearing the derived signal forgets the last value.
  distinct->clearBuffer();
  feed(*source, {1, 1}, {queue});
  EXPECT_EQ(collected.values(), (std::vector<int>{1, 2, 1, 1}));
}

// ---- Ownership ----

TEST(SignalOwnership, ADerivedSignalLivesWithItsSourceAndNeverKeepsItAlive) {
  DispatchQueue queue("test.source");
  auto source = Signal<int>::make(queue);
  std::weak_ptr<Signal<int>> weakDerived;
  std::vector<int> seen;  // queue only
  {
    auto derived = source->map([](int v) { return v + 100; });
    derived->onUpdate([&](int v) { seen.push_back(v); });
    weakDerived = derived;
  }
  // Dropping the derived signal does not stop the forwarding.
  EXPECT_FALSE(weakDerived.expired());
  feed(*source, {1}, {queue, queue});
  EXPECT_EQ(seen, std::vector<int>{101});

  auto derived = weakDerived.lock();
  std::weak_ptr<Signal<int>> weakSource = source;
  source.reset();
  EXPECT_TRUE(weakSource.expired());
  derived.reset();
  ASSERT_TRUE(waitFor([&] { return weakDerived.expired(); }));
}

// ---- Concurrency ----

TEST(SignalOperatorsStress, ConcurrentUpdatesOnAConcurrentQueueAreCountedAndMappedExactly) {
  const int perThread = test::scaled(5000);
  constexpr int kThreads = 4;
  constexpr int kSkipped = 37;
  auto source = Signal<int>::make(DispatchQueue::global());
  auto skippedHere = source->skip(kSkipped);
  auto skippedThere = source->skip(kSkipped, DispatchQueue::global());
  auto doubled = source->map([](int v) { return 2L * v; });
  std::atomic<int> passedHere{0};
  std::atomic<int> passedThere{0};
  std::atomic<int> mappedCount{0};
  std::atomic<long> mappedSum{0};
  skippedHere->onUpdate([&](int /*value*/) { passedHere.fetch_add(1); });
  skippedThere->onUpdate([&](int /*value*/) { passedThere.fetch_add(1); });
  doubled->onUpdate([&](long v) {
    mappedSum.fetch_add(v);
    mappedCount.fetch_add(1);
  });
  test::runConcurrently(kThreads, [&](int thread) {
    for (int i = 0; i < perThread; ++i) source->update(thread * perThread + i + 1);
  });
  const int total = kThreads * perThread;
  ASSERT_TRUE(waitFor([&] {
    return passedHere.load() == total - kSkipped && passedThere.load() == total - kSkipped &&
           mappedCount.load() == total;
  }));
  EXPECT_EQ(mappedSum.load(), static_cast<long>(total) * (total + 1));
}

}  // namespace
}  // namespace mornik::Flow
