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
#include "tests/support/Recorder.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik::Flow {
namespace {

using test::drain;
using test::QueueGate;
using test::Recorder;
using test::waitFor;

// Updates `signal` with each value, then waits for the queues in turn.
template <class T>
void feed(Signal<T>& signal, const std::vector<T>& values,
          const std::vector<DispatchQueue>& queues) {
  for (const T& value : values) signal.update(value);
  for (const DispatchQueue& queue : queues) drain(queue);
}

TEST(SignalMap, TransformsOnTheSourcesQueueIntoASignalOnTheGivenQueue) {
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
    EXPECT_EQ(derived->currentValue(), std::nullopt);  // until the handler ran
  }
  drain(sourceQueue);
  EXPECT_EQ(derived->currentValue(), "6");
  Recorder<std::string> recorder(derivedQueue);
  derived->onUpdate(recorder.block());  // on the derived signal's queue
  feed(*source, {5}, {sourceQueue});
  EXPECT_EQ(recorder.values(), (std::vector<std::string>{"6", "10"}));
  EXPECT_EQ(recorder.lastQueue(), "test.derived");
  EXPECT_EQ(transformQueues, (std::vector<std::string>{"test.source", "test.source"}));
  EXPECT_EQ(source->map([](int v) { return v * 1.5; })->queue(), sourceQueue);
}

TEST(SignalFilter, PassesMatchingValuesTestedOnTheDerivedQueueWhileItsContextLives) {
  DispatchQueue sourceQueue("test.source");
  DispatchQueue derivedQueue("test.derived");
  struct Limit {
    int max = 10;
  };
  auto limit = std::make_shared<Limit>();
  auto source = Signal<int>::make(sourceQueue);
  std::vector<std::string> predicateQueues;  // derivedQueue only
  auto evens = source->filter(derivedQueue, [&](int v) {
    predicateQueues.push_back(DispatchQueue::currentLabel());
    return v % 2 == 0;
  });
  auto small = source->filter(limit, [](Limit& l, int v) { return v <= l.max; });
  auto large =
      source->filter(limit, [](const std::shared_ptr<Limit>& l, int v) { return v > l->max; });
  Recorder<int> evensSeen, smallSeen, largeSeen;  // NOLINT(readability-isolate-declaration)
  evensSeen.on(*evens);
  smallSeen.on(*small);
  largeSeen.on(*large);
  feed(*source, {1, 2, 50}, {sourceQueue, derivedQueue});
  limit.reset();
  feed(*source, {4, 60}, {sourceQueue, derivedQueue});
  EXPECT_EQ(evensSeen.values(), (std::vector<int>{2, 50, 4, 60}));
  EXPECT_EQ(predicateQueues, std::vector<std::string>(5, "test.derived"));
  EXPECT_EQ(smallSeen.values(), (std::vector<int>{1, 2}));
  EXPECT_EQ(largeSeen.values(), std::vector<int>{50});
  EXPECT_TRUE(evens->queue() == derivedQueue && small->queue() == sourceQueue);
}

TEST(SignalSkip, DropsTheFirstValuesCountingABufferedOneAndPassesAllForCountsBelowOne) {
  struct Case {
    std::optional<std::string> held;
    long first;
    bool countingQueue;                 // skip(first, queue) rather than skip(first)
    std::vector<std::string> expected;  // after updates a, b, c, d
  };
  const Case cases[] = {
      {std::nullopt, 2, false, {"c", "d"}},       {std::nullopt, 2, true, {"c", "d"}},
      {"x", 2, false, {"b", "c", "d"}},           {"x", 1, false, {"a", "b", "c", "d"}},
      {std::nullopt, 1, true, {"b", "c", "d"}},   {"x", 0, false, {"x", "a", "b", "c", "d"}},
      {"x", -3, true, {"x", "a", "b", "c", "d"}},
  };
  for (const Case& c : cases) {
    DispatchQueue queue("test.source");
    auto source = Signal<std::string>::make(queue, c.held);
    auto skipped = c.countingQueue ? source->skip(c.first, DispatchQueue("test.count"))
                   : c.first == 1  ? source->skipFirst()
                                   : source->skip(c.first);
    EXPECT_EQ(skipped->queue() == queue, !c.countingQueue);
    Recorder<std::string> recorder;
    recorder.on(*skipped);
    feed(*source, {"a", "b", "c", "d"}, {queue, skipped->queue()});
    EXPECT_EQ(recorder.values(), c.expected) << c.held.value_or("-") << " " << c.first;
  }
}

TEST(SignalDistinct, DropsRepeatsOfTheLastValueLetThroughUntilItsBufferIsCleared) {
  DispatchQueue queue("test.source");
  auto source = Signal<int>::make(queue);
  auto distinct = source->distinct();
  EXPECT_EQ(distinct->queue(), queue);
  Recorder<int> recorder;
  recorder.on(*distinct);
  feed(*source, {1, 1, 2, 2, 1}, {queue});
  distinct->clearBuffer();
  feed(*source, {1, 1}, {queue});
  EXPECT_EQ(recorder.values(), (std::vector<int>{1, 2, 1, 1}));
}

TEST(SignalOwnership, ADerivedSignalAndAMapsContextLiveWithTheSourceAndNeverKeepItAlive) {
  DispatchQueue queue("test.source");
  auto source = Signal<int>::make(queue);
  auto prefix = std::make_shared<std::string>("n=");
  Recorder<std::string> recorder;
  std::weak_ptr<Signal<std::string>> weakDerived;
  {
    auto derived = source->map(prefix, std::nullopt,
                               [](const auto& p, int v) { return *p + std::to_string(v); });
    recorder.on(*derived);
    weakDerived = derived;
  }
  feed(*source, {1, 2}, {queue});  // dropping the derived signal does not stop it
  EXPECT_EQ(recorder.values(), (std::vector<std::string>{"n=1", "n=2"}));
  EXPECT_EQ(prefix.use_count(), 2);
  auto derived = weakDerived.lock();
  std::weak_ptr<Signal<int>> weakSource = source;
  source.reset();
  EXPECT_TRUE(weakSource.expired());
  EXPECT_EQ(prefix.use_count(), 1);
  derived.reset();
  EXPECT_TRUE(weakDerived.expired());
}

TEST(SignalOperatorsStress, SkipCountsExactlyOnAConcurrentQueue) {
  const int perThread = test::scaled(3000);
  constexpr int kSkipped = 37;
  auto source = Signal<int>::make(DispatchQueue::global());
  std::atomic<int> passedHere{0};
  std::atomic<int> passedThere{0};
  source->skip(kSkipped)->onUpdate([&](int /*value*/) { ++passedHere; });
  source->skip(kSkipped, DispatchQueue::global())->onUpdate([&](int /*value*/) { ++passedThere; });
  test::runConcurrently(4, [&](int /*thread*/) {
    for (int i = 0; i < perThread; ++i) source->update(i);
  });
  const int passing = 4 * perThread - kSkipped;
  ASSERT_TRUE(waitFor([&] { return passedHere == passing && passedThere == passing; }));
}

}  // namespace
}  // namespace mornik::Flow
