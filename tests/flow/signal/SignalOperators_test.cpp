#include "mornik/flow/signal/SignalOperators.hpp"

#include <string>

#include <gtest/gtest.h>

#include "mornik/flow/signal/Signal.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/Recorder.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik::Flow {
namespace {

using test::Recorder;

// Updates `signal` with each value, then waits for the queues in turn.
template <class T>
void feed(Signal<T>& signal, const std::vector<T>& values,
          const std::vector<DispatchQueue>& queues) {
  for (const T& value : values) signal.update(value);
  for (const DispatchQueue& queue : queues) test::drain(queue);
}

// The transform runs on the source's queue (for the value the source held
// too) and feeds a signal on the given queue. The source's handler holds
// the derived signal and the context; neither holds the source.
TEST(SignalMap, TransformsOnTheSourcesQueueAndLivesAsLongAsTheSource) {
  DispatchQueue sourceQueue("test.source");
  DispatchQueue derivedQueue("test.derived");
  auto source = Signal<int>::make(sourceQueue, 3);
  auto prefix = std::make_shared<std::string>("n=");
  std::vector<std::string> transformQueues;  // sourceQueue only
  std::weak_ptr<Signal<std::string>> weakDerived;
  Recorder<std::string> recorder(derivedQueue);
  {
    test::QueueGate gate(sourceQueue);
    auto derived = source->map(prefix, derivedQueue, [&](const auto& p, int v) {
      transformQueues.push_back(DispatchQueue::currentLabel());
      return *p + std::to_string(v);
    });
    EXPECT_EQ(derived->currentValue(), std::nullopt);  // until the handler ran
    derived->onUpdate(recorder.block());               // on the derived signal's queue
    weakDerived = derived;
  }
  feed(*source, {5}, {sourceQueue});  // dropping the derived signal does not stop it
  EXPECT_EQ(recorder.values(), (std::vector<std::string>{"n=3", "n=5"}));
  EXPECT_EQ(recorder.lastQueue(), "test.derived");
  EXPECT_EQ(transformQueues, (std::vector<std::string>{"test.source", "test.source"}));
  EXPECT_EQ(source->map([](int v) { return v * 1.5; })->queue(), sourceQueue);
  const std::weak_ptr<Signal<int>> weakSource = source;
  source.reset();
  EXPECT_TRUE(weakSource.expired() && weakDerived.expired());
  EXPECT_EQ(prefix.use_count(), 1);
}

// The predicate runs on the derived queue, and its context object is held
// weakly: once it is gone nothing passes.
TEST(SignalFilter, PassesMatchingValuesTestedOnTheDerivedQueueWhileItsContextLives) {
  DispatchQueue sourceQueue("test.source");
  DispatchQueue derivedQueue("test.derived");
  auto limit = std::make_shared<int>(10);
  auto source = Signal<int>::make(sourceQueue);
  std::vector<std::string> predicateQueues;  // derivedQueue only
  auto small = source->filter(limit, derivedQueue, [&](const std::shared_ptr<int>& l, int v) {
    predicateQueues.push_back(DispatchQueue::currentLabel());
    return v <= *l;
  });
  EXPECT_EQ(small->queue(), derivedQueue);
  Recorder<int> recorder;
  recorder.on(*small);
  feed(*source, {1, 50, 2}, {sourceQueue, derivedQueue});
  limit.reset();
  feed(*source, {4}, {sourceQueue, derivedQueue});
  EXPECT_EQ(recorder.values(), (std::vector<int>{1, 2}));
  EXPECT_EQ(predicateQueues, std::vector<std::string>(3, "test.derived"));
}

// Each operator over a source holding `held` (or nothing), fed a, a, b, a;
// skip counts a held value, and counts below one let everything through.
TEST(SignalOperators, SkipDistinctAndFilterPassTheValuesTheyShould) {
  using S = Signal<std::string>;
  const struct {
    std::optional<std::string> held;
    std::shared_ptr<S> (*apply)(S&);
    bool ownQueue;  // the derived signal has a queue of its own
    std::vector<std::string> expected;
  } cases[] = {
      {std::nullopt, [](S& s) { return s.skip(2); }, false, {"b", "a"}},
      {std::nullopt, [](S& s) { return s.skip(2, DispatchQueue("test.count")); }, true, {"b", "a"}},
      {"x", [](S& s) { return s.skip(2); }, false, {"a", "b", "a"}},
      {"x", [](S& s) { return s.skipFirst(); }, false, {"a", "a", "b", "a"}},
      {std::nullopt, [](S& s) { return s.skip(1, DispatchQueue("c")); }, true, {"a", "b", "a"}},
      {"x", [](S& s) { return s.skip(0); }, false, {"x", "a", "a", "b", "a"}},
      {"x", [](S& s) { return s.skip(-3, DispatchQueue("c")); }, true, {"x", "a", "a", "b", "a"}},
      {"a", [](S& s) { return s.distinct(); }, false, {"a", "b", "a"}},
      {"x", [](S& s) { return s.filter([](auto& v) { return v != "a"; }); }, false, {"x", "b"}},
      // A context that is gone once filter() has returned: nothing passes.
      {std::nullopt,
       [](S& s) { return s.filter(std::make_shared<int>(), [](int&, auto&) { return true; }); },
       false,
       {}},
  };
  for (const auto& c : cases) {
    DispatchQueue queue("test.source");
    auto source = S::make(queue, c.held);
    auto derived = c.apply(*source);
    EXPECT_EQ(derived->queue() == queue, !c.ownQueue);
    Recorder<std::string> recorder;
    recorder.on(*derived);
    feed(*source, {"a", "a", "b", "a"}, {queue, derived->queue()});
    EXPECT_EQ(recorder.values(), c.expected) << "case " << &c - cases;
  }
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
  ASSERT_TRUE(test::waitFor([&] { return passedHere == passing && passedThere == passing; }));
}

}  // namespace
}  // namespace mornik::Flow
