#include "mornik/flow/observe/ObservableObject.hpp"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueueID.hpp"
#include "mornik/flow/observe/Binding.hpp"
#include "mornik/flow/observe/ObservableState.hpp"
#include "mornik/flow/observe/Published.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/QueueGate.hpp"
#include "tests/support/Recorder.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik {
namespace {

using test::drain;
using test::waitFor;

class Counter : public ObservableObject {
 public:
  Published<int> count{*this, 0};
};

TEST(ChangePublisher, NotifiesLiveSubscribersOnTheirQueuesAfterSendReturns) {
  ChangePublisher publisher;
  DispatchQueue queue("test.publisher");
  std::vector<int> onMain;  // main queue only
  std::atomic<int> kept{0}, ended{0};
  Subscription main = publisher.subscribe([&] { onMain.push_back(isMainQueue()); });
  Subscription keep = publisher.subscribe(queue, [&] { ++kept; });
  {
    test::QueueGate gate(queue);
    Subscription end = publisher.subscribe(queue, [&] { ++ended; });
    publisher.send();  // queued behind the gate, also for `end`
    publisher.send();
  }
  drain(queue);
  drain(DispatchQueue::main());
  EXPECT_EQ(onMain, (std::vector<int>{1, 1}));
  EXPECT_EQ(kept.load(), 2);
  EXPECT_EQ(ended.load(), 0);
  EXPECT_EQ(publisher.subscriberCount(), 2U);
}

TEST(Published, EveryAssignmentIsAnnouncedAndReadableWhenTheNoticeArrives) {
  auto counter = std::make_shared<Counter>();
  std::vector<int> seen;  // main queue only
  Subscription subscription =
      counter->objectWillChange().subscribe([&] { seen.push_back(counter->count); });
  std::thread([&] {
    counter->count = 1;
    counter->count.set(1);  // equal values are announced too
  }).join();
  drain(DispatchQueue::main());
  EXPECT_EQ(counter->count.modify([](int& n) { return n += 5; }), 6);
  drain(DispatchQueue::main());
  EXPECT_EQ(seen, (std::vector<int>{1, 1, 6}));

  // An ObservableState announces writes through its binding, which keeps it alive.
  auto cell = ObservableState<int>::make(1);
  const std::weak_ptr<ObservableState<int>> weakCell = cell;
  subscription = cell->objectWillChange().subscribe([&seen, weakCell] {
    if (auto live = weakCell.lock()) seen.push_back(live->get());
  });
  Binding<int> binding = cell->binding();
  cell.reset();
  binding.set(2);
  drain(DispatchQueue::main());
  EXPECT_EQ(seen.back(), 2);
  binding = Binding<int>::constant(7);
  EXPECT_TRUE(weakCell.expired());
}

TEST(PublishedValues, SubscribersGetTheCurrentValueThenEveryStoreInStoreOrder) {
  auto counter = std::make_shared<Counter>();
  const int total = 4 * test::scaled(5000);
  test::Recorder<int> early(DispatchQueue("test.published.early"));
  test::Recorder<int> late(DispatchQueue("test.published.late"));
  Subscription earlySubscription = counter->count.subscribe(early.queue(), early.block());
  Subscription lateSubscription;
  std::atomic<int> notified{0};
  Subscription steady =
      counter->objectWillChange().subscribe(DispatchQueue::global(), [&] { ++notified; });
  test::runConcurrently(5, [&](int t) {
    if (t == 4) {
      while (counter->count.get() < total / 2) {
        const Subscription brief = counter->objectWillChange().subscribe([] {});
      }
      lateSubscription = counter->count.subscribe(late.queue(), late.block());
      return;
    }
    for (int i = 0; i < total / 4; ++i) counter->count.modify([](int& n) { ++n; });
  });
  for (const auto* recorder : {&early, &late}) {
    const std::vector<int> values = recorder->values();
    for (std::size_t i = 1; i < values.size(); ++i) ASSERT_EQ(values[i], values[0] + int(i));
    EXPECT_EQ(values.back(), total);
  }
  EXPECT_EQ(early.values().front(), 0);
  ASSERT_TRUE(waitFor([&] { return notified.load() == total; }));
  EXPECT_EQ(counter->objectWillChange().subscriberCount(), 1U);
}

}  // namespace
}  // namespace mornik
