#include "mornik/flow/CombineLatest.hpp"

#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/flow/Signal.hpp"

#include "tests/support/QueueGate.hpp"
#include "tests/support/RunLoopWait.hpp"

namespace mornik::Flow {
namespace {

using test::drain;
using test::waitFor;

// Everything a combiner publishes, in order. Its signal's handler runs on
// the global queue; publications come one at a time from the combiner's
// serial queue, but are recorded on a serial queue of the test's own so
// that they stay in order.
template <class... Ts>
struct Publications {
  explicit Publications(const typename SCombineLatest<Ts...>::Pointer& combiner)
      : combiner(combiner) {
    combiner->signal()->onUpdate(queue, [this](const std::tuple<Ts...>& v) { seen.push_back(v); });
  }
  // Waits until the combiner and the recording queue have run everything
  // submitted so far.
  std::vector<std::tuple<Ts...>> settle() {
    drain(combiner->queue());
    drain(queue);
    return seen;
  }

  typename SCombineLatest<Ts...>::Pointer combiner;
  DispatchQueue queue{"test.combine.latest"};
  std::vector<std::tuple<Ts...>> seen;  // queue only
};

TEST(SCombineLatest, PublishesOnceEverySourceHasAValueThenOnEachUpdateWithTheLatestOfEach) {
  auto a = Signal<std::string>::make(DispatchQueue::global());
  auto b = Signal<int>::make(DispatchQueue::global());
  auto combiner = SCombineLatest2<std::string, int>::make(a, b);
  EXPECT_EQ(combiner->queue().label(), "SCombine2.Serial");
  EXPECT_EQ(combiner->signal()->queue(), DispatchQueue::global());
  Publications<std::string, int> published(combiner);
  a->update("a1");
  EXPECT_TRUE(published.settle().empty());
  b->update(1);
  published.settle();
  a->update("a2");
  using Pair = std::tuple<std::string, int>;
  EXPECT_EQ(published.settle(), (std::vector<Pair>{{"a1", 1}, {"a2", 1}}));
}

TEST(SCombineLatest, WaitsForTheThirdSourceAndKeepsOnlyTheLatestOfQuickUpdates) {
  auto a = Signal<int>::make(DispatchQueue::global(), 1);  // already holds a value
  auto b = Signal<int>::make(DispatchQueue::global());
  auto c = Signal<char>::make(DispatchQueue::global());
  auto combiner = SCombineLatest3<int, int, char>::make(a, b, c);
  EXPECT_EQ(combiner->queue().label(), "SCombine3.Serial");
  Publications<int, int, char> published(combiner);
  b->update(10);
  b->update(20);
  EXPECT_TRUE(published.settle().empty());
  c->update('x');
  using Triple = std::tuple<int, int, char>;
  EXPECT_EQ(published.settle(), (std::vector<Triple>{{1, 20, 'x'}}));
}

TEST(SCombineLatest, ACombinerNobodyKeepsStopsCombining) {
  auto a = Signal<int>::make(DispatchQueue::global());
  auto b = Signal<int>::make(DispatchQueue::global());
  auto combiner = SCombineLatest2<int, int>::make(a, b);
  const std::weak_ptr<SCombineLatest2<int, int>> weak = combiner;
  auto signal = combiner->signal();
  const DispatchQueue queue = combiner->queue();
  combiner.reset();
  EXPECT_TRUE(weak.expired());
  a->update(1);
  b->update(2);
  drain(queue);
  EXPECT_EQ(signal->currentValue(), std::nullopt);
}

}  // namespace
}  // namespace mornik::Flow
