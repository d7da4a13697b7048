#include "mornik/flow/CombineLatest.hpp"

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/flow/Signal.hpp"

#include "tests/support/QueueGate.hpp"

namespace mornik::Flow {
namespace {

// Subscriptions are on the combiner's serial queue and publications go to a
// serial queue of the test, so draining both settles everything sent so far.
template <class... Ts>
std::vector<std::tuple<Ts...>> settle(const std::shared_ptr<SCombineLatest<Ts...>>& combiner,
                                      const DispatchQueue& recording,
                                      const std::vector<std::tuple<Ts...>>& seen) {
  test::drain(combiner->queue());
  test::drain(recording);
  return seen;
}

TEST(SCombineLatest, PublishesOnceEverySourceHasAValueThenTheLatestOfEachOnEveryUpdate) {
  auto a = Signal<std::string>::make(DispatchQueue::global());
  auto b = Signal<int>::make(DispatchQueue::global());
  auto combiner = SCombineLatest2<std::string, int>::make(a, b);
  EXPECT_EQ(combiner->queue().label(), "SCombine2.Serial");
  const DispatchQueue recording("test.combine.latest");
  std::vector<std::tuple<std::string, int>> seen;  // recording only
  combiner->signal()->onUpdate(recording, [&](const auto& v) { seen.push_back(v); });
  a->update("a1");
  EXPECT_TRUE(settle(combiner, recording, seen).empty());
  b->update(1);
  settle(combiner, recording, seen);
  a->update("a2");
  EXPECT_EQ(settle(combiner, recording, seen),
            (std::vector<std::tuple<std::string, int>>{{"a1", 1}, {"a2", 1}}));
}

TEST(SCombineLatest, WaitsForTheThirdSourceKeepsTheLatestAndStopsWhenReleased) {
  auto a = Signal<int>::make(DispatchQueue::global(), 1);  // already holds a value
  auto b = Signal<int>::make(DispatchQueue::global());
  auto c = Signal<char>::make(DispatchQueue::global());
  auto combiner = SCombineLatest3<int, int, char>::make(a, b, c);
  const DispatchQueue recording("test.combine.latest");
  std::vector<std::tuple<int, int, char>> seen;  // recording only
  auto signal = combiner->signal();
  signal->onUpdate(recording, [&](const auto& v) { seen.push_back(v); });
  b->update(10);
  b->update(20);
  EXPECT_TRUE(settle(combiner, recording, seen).empty());
  c->update('x');
  EXPECT_EQ(settle(combiner, recording, seen),
            (std::vector<std::tuple<int, int, char>>{{1, 20, 'x'}}));

  const DispatchQueue queue = combiner->queue();
  combiner.reset();  // the subscriptions hold it weakly
  c->update('y');
  test::drain(queue);
  test::drain(recording);
  EXPECT_EQ(seen.size(), 1U);
}

}  // namespace
}  // namespace mornik::Flow
