#include "mornik/flow/signal/CombineLatest.hpp"

#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "mornik/flow/observe/Published.hpp"
#include "mornik/flow/pool/Pool.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/Recorder.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik::Flow {
namespace {

using test::Recorder;
using test::waitFor;
using Triple = std::tuple<int, int, int>;

// One writer per source (each holding 0, which counts as delivered) sends
// 1, 2, 3, ...: every value makes one tuple, and each component steps by at
// most one from tuple to tuple.
TEST(SCombineLatest, ConcurrentWritersMakeOneTupleEachInEachSourcesOrder) {
  const int perWriter = test::scaled(3000);
  auto pool = Pool::make(DispatchQueue("test.latest.pool"));
  std::vector<std::shared_ptr<Signal<int>>> sources;
  for (int s = 0; s < 3; ++s) sources.push_back(Signal<int>::make(DispatchQueue::global(), 0));
  Recorder<Triple> recorder;
  recorder.on(*pool->combineLatest(sources[0], sources[1], sources[2]));
  ASSERT_TRUE(waitFor([&] { return recorder.seen() == 1; }));
  test::runConcurrently(3, [&](int s) {
    for (int v = 1; v <= perWriter; ++v) sources[static_cast<std::size_t>(s)]->update(v);
  });
  ASSERT_TRUE(waitFor([&] { return recorder.seen() >= 1 + 3U * perWriter; }));
  const std::vector<Triple> tuples = recorder.values();
  ASSERT_EQ(tuples.size(), 1 + 3U * perWriter);
  for (std::size_t i = 1; i < tuples.size(); ++i) {
    const auto [a0, b0, c0] = tuples[i - 1];
    const auto [a1, b1, c1] = tuples[i];
    ASSERT_EQ((a1 - a0) + (b1 - b0) + (c1 - c0), 1) << i;  // one value, one step
  }
  EXPECT_EQ(tuples.back(), Triple(perWriter, perWriter, perWriter));
}

class Model : public ObservableObject {
 public:
  Published<int> count{*this, 1};
  Published<std::string> title{*this, "first"};
};

// A pool keeps alive the combiners it makes and the subscriptions of the
// published properties it bridges, not their sources; a combiner nobody
// keeps stops.
TEST(PoolCombineLatest, ThePoolKeepsCombinersAndBridgesButNotTheirSourcesAlive) {
  auto first = Signal<int>::make(DispatchQueue::global());
  auto second = Signal<std::string>::make(DispatchQueue::global());
  auto naked = SCombineLatest2<int, std::string>::make(first, second);
  EXPECT_EQ(naked->queue().label(), "SCombine2.Serial");
  const auto nakedOutput = naked->signal();
  const DispatchQueue nakedQueue = naked->queue();
  naked.reset();  // the subscriptions hold it weakly
  auto pool = Pool::make(DispatchQueue("test.latest.pool"));
  auto model = std::make_shared<Model>();
  Recorder<std::tuple<int, std::string>> signals, properties;  // NOLINT
  Recorder<int> counts;
  const std::weak_ptr<Signal<std::tuple<int, std::string>>> output =
      pool->combineLatest(first, second);
  signals.on(*output.lock());
  const std::weak_ptr<Signal<int>> bridged = flow(model->count, *pool);
  counts.on(*bridged.lock());
  properties.on(*pool->combineLatest(model->count, model->title));
  second->update("zero");  // replaced before the tuple is complete
  second->update("one");
  first->update(1);
  ASSERT_TRUE(waitFor([&] { return signals.seen() == 1; }));
  EXPECT_EQ(signals.values(), (std::vector<std::tuple<int, std::string>>{{1, "one"}}));
  EXPECT_EQ(first.use_count(), 1);  // the combiner does not hold its sources
  first.reset();
  second->update("two");  // the latest value of a gone source still counts
  model->count = 2;
  model->count.modify([](int& n) { n += 10; });
  model->title = "second";
  ASSERT_TRUE(
      waitFor([&] { return signals.seen() == 2 && counts.seen() == 3 && properties.seen() == 4; }));
  EXPECT_EQ(signals.values().back(), std::make_tuple(1, std::string("two")));
  EXPECT_EQ(counts.values(), (std::vector<int>{1, 2, 12}));
  // The properties reach the combiner through separate queues: only the
  // order within each property is fixed.
  EXPECT_EQ(properties.values().back(), std::make_tuple(12, std::string("second")));
  test::drain(nakedQueue);
  EXPECT_FALSE(nakedOutput->currentValue().has_value());
  EXPECT_EQ(model->count.subscriberCount(), 2U);
  pool.reset();
  EXPECT_EQ(model->count.subscriberCount() + model->title.subscriberCount(), 0U);
  EXPECT_TRUE(waitFor([&] { return output.expired() && bridged.expired(); }));
}

}  // namespace
}  // namespace mornik::Flow
