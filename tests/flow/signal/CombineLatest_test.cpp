#include "mornik/flow/signal/CombineLatest.hpp"

#include <array>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/flow/observe/ObservableObject.hpp"
#include "mornik/flow/observe/Published.hpp"
#include "mornik/flow/pool/Pool.hpp"
#include "mornik/flow/signal/Signal.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/QueueGate.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik::Flow {
namespace {

using test::drain;
using test::waitFor;

using Triple = std::tuple<int, int, int>;

// Collects what a signal delivers, on the main queue.
template <class T>
std::shared_ptr<std::vector<T>> collect(const std::shared_ptr<Signal<T>>& signal) {
  auto seen = std::make_shared<std::vector<T>>();
  signal->onUpdate(DispatchQueue::main(), [seen](const T& value) { seen->push_back(value); });
  return seen;
}

TEST(SCombineLatest, NothingUntilEverySourceHasAValueThenOneTupleOfTheLatestPerValue) {
  DispatchQueue sources("test.latest.sources");
  auto first = Signal<int>::make(sources, 1);  // a buffered value counts as delivered
  auto second = Signal<int>::make(sources);
  auto third = Signal<int>::make(sources);
  auto combiner = SCombineLatest3<int, int, int>::make(first, second, third);
  EXPECT_EQ(combiner->queue().label(), "SCombine3.Serial");
  auto seen = collect(combiner->signal());

  second->update(20);
  second->update(21);  // replaces 20 before the tuple is complete
  drain(combiner->queue());
  EXPECT_FALSE(combiner->signal()->currentValue().has_value());

  third->update(30);
  ASSERT_TRUE(waitFor([&] { return seen->size() == 1; }));
  EXPECT_EQ(seen->front(), Triple(1, 21, 30));

  first->update(2);
  drain(combiner->queue());  // one source, one serial queue: in update order
  third->update(31);
  second->update(22);
  ASSERT_TRUE(waitFor([&] { return seen->size() == 4; }));
  EXPECT_EQ(*seen, (std::vector<Triple>{{1, 21, 30}, {2, 21, 30}, {2, 21, 31}, {2, 22, 31}}));
  EXPECT_EQ(combiner->signal()->currentValue(), Triple(2, 22, 31));
}

TEST(SCombineLatest, ConcurrentUpdatesFromSeveralThreadsCombineTheLatestValues) {
  // Two writer threads per source, each sending 1, 2, 3, ... tagged with
  // its number. Once the first tuple is out (from seed values), every value
  // makes exactly one tuple, which differs from the one before in that
  // value's component only, and one writer's values arrive in its order. So
  // in the stream of changes each writer must step by exactly one: nothing
  // lost, repeated, reordered or stale.
  constexpr int kSources = 3;
  constexpr int kWritersPerSource = 2;
  constexpr int kWriters = kSources * kWritersPerSource;
  constexpr int kTag = 1'000'000;  // value = writer * kTag + seq
  const int perWriter = test::scaled(3000);

  auto pool = Pool::make(DispatchQueue("test.latest.pool"));
  std::vector<std::shared_ptr<Signal<int>>> sources;
  for (int s = 0; s < kSources; ++s) {
    sources.push_back(Signal<int>::make(DispatchQueue::global(), s * kWritersPerSource * kTag));
  }
  auto combined = pool->combineLatest(sources[0], sources[1], sources[2]);

  using Values = std::array<int, kSources>;
  struct Check {
    std::mutex lock;
    std::optional<Values> previous;
    std::array<int, kWriters> lastSeq{};
    int tuples = 0;
    std::vector<std::string> violations;
  };
  auto check = std::make_shared<Check>();
  combined->onUpdate(DispatchQueue("test.latest.check"), [check](const Triple& tuple) {
    std::lock_guard<std::mutex> guard(check->lock);
    ++check->tuples;
    const Values now{std::get<0>(tuple), std::get<1>(tuple), std::get<2>(tuple)};
    int changes = 0;
    for (std::size_t s = 0; s < now.size(); ++s) {
      if (!check->previous || (*check->previous)[s] == now[s]) continue;
      ++changes;
      const int writer = now[s] / kTag;
      if (static_cast<std::size_t>(writer / kWritersPerSource) != s) {
        check->violations.push_back("a value in another source's place");
        continue;
      }
      int& last = check->lastSeq[static_cast<std::size_t>(writer)];
      if (now[s] % kTag != last + 1) check->violations.push_back("a writer stepped not by 1");
      last = now[s] % kTag;
    }
    if (check->previous && changes != 1) check->violations.push_back("not one change per tuple");
    check->previous = now;
  });
  ASSERT_TRUE(waitFor([&] {
    std::lock_guard<std::mutex> guard(check->lock);
    return check->tuples == 1;
  }));

  test::runConcurrently(kWriters, [&](int writer) {
    const auto& source = sources[static_cast<std::size_t>(writer / kWritersPerSource)];
    for (int seq = 1; seq <= perWriter; ++seq) source->update(writer * kTag + seq);
  });
  const int expected = 1 + kWriters * perWriter;
  ASSERT_TRUE(waitFor([&] {
    std::lock_guard<std::mutex> guard(check->lock);
    return check->tuples >= expected;
  }));
  std::lock_guard<std::mutex> guard(check->lock);
  EXPECT_EQ(check->tuples, expected);
  EXPECT_EQ(check->violations, std::vector<std::string>{});
  for (int last : check->lastSeq) EXPECT_EQ(last, perWriter);
}

TEST(SCombineLatest, ACombinerNobodyKeepsStopsCombining) {
  auto first = Signal<int>::make(DispatchQueue::global(), 1);
  auto second = Signal<std::string>::make(DispatchQueue::global());
  auto combiner = SCombineLatest2<int, std::string>::make(first, second);
  EXPECT_EQ(combiner->queue().label(), "SCombine2.Serial");
  const auto output = combiner->signal();
  const DispatchQueue queue = combiner->queue();
  combiner.reset();  // the subscriptions hold it weakly
  second->update("one");
  drain(queue);
  EXPECT_FALSE(output->currentValue().has_value());
}

// ---- Through a pool ----

TEST(PoolCombineLatest, ThePoolKeepsTheCombinerAliveButNotItsSources) {
  auto pool = Pool::make(DispatchQueue("test.latest.pool"));
  auto first = Signal<int>::make(DispatchQueue::global());
  auto second = Signal<std::string>::make(DispatchQueue::global());
  std::weak_ptr<Signal<std::tuple<int, std::string>>> weakOutput;
  std::shared_ptr<std::vector<std::tuple<int, std::string>>> seen;
  {
    auto output = pool->combineLatest(first, second);
    weakOutput = output;
    seen = collect(output);
  }
  ASSERT_FALSE(weakOutput.expired());  // the combiner, held by the pool, holds it
  first->update(1);
  second->update("one");
  ASSERT_TRUE(waitFor([&] { return seen->size() == 1; }));
  EXPECT_EQ(seen->front(), std::make_tuple(1, std::string("one")));

  std::weak_ptr<Signal<int>> weakFirst = first;
  first.reset();
  EXPECT_TRUE(weakFirst.expired());  // the combiner does not hold its sources
  second->update("two");             // the kept latest value of a gone source still counts
  ASSERT_TRUE(waitFor([&] { return seen->size() == 2; }));
  EXPECT_EQ(seen->back(), std::make_tuple(1, std::string("two")));

  // The subscription a live source still owns does not hold the combiner (a
  // delivery may hold it for a moment).
  pool.reset();
  EXPECT_TRUE(waitFor([&] { return weakOutput.expired(); }));
}

// ---- Bridging published properties ----

class Model : public ObservableObject {
 public:
  Published<int> count{*this, 1};
  Published<std::string> title{*this, "first"};
};

TEST(FlowBridge, PublishedPropertiesFlowAndCombineWhileThePoolOwnsTheSubscriptions) {
  auto pool = Pool::make(DispatchQueue("test.bridge.pool"));
  auto model = std::make_shared<Model>();
  std::weak_ptr<Signal<int>> weakCounts;
  std::shared_ptr<std::vector<int>> counts;
  {
    auto signal = flow(model->count, *pool);
    weakCounts = signal;
    counts = collect(signal);
  }
  auto both = collect(pool->combineLatest(model->count, model->title));
  ASSERT_TRUE(waitFor([&] { return counts->size() == 1 && both->size() == 1; }));
  model->count = 2;
  model->count.modify([](int& n) { n += 10; });
  model->title = "second";
  ASSERT_TRUE(waitFor([&] { return counts->size() == 3 && both->size() == 4; }));
  EXPECT_EQ(*counts, (std::vector<int>{1, 2, 12}));
  // The two properties reach the combiner through separate queues: only the
  // order within each property is fixed.
  EXPECT_EQ(both->front(), std::make_tuple(1, std::string("first")));
  EXPECT_EQ(both->back(), std::make_tuple(12, std::string("second")));
  EXPECT_EQ(model->count.subscriberCount(), 2U);
  EXPECT_FALSE(weakCounts.expired());  // the subscription, held by the pool, holds it

  pool.reset();
  EXPECT_EQ(model->count.subscriberCount(), 0U);
  EXPECT_EQ(model->title.subscriberCount(), 0U);
  // The handler, and with it the signal, goes by an item on the bridge's queue.
  EXPECT_TRUE(waitFor([&] { return weakCounts.expired(); }));
}

}  // namespace
}  // namespace mornik::Flow
