#include "mornik/flow/observe/ObservableObject.hpp"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/flow/observe/Binding.hpp"
#include "mornik/flow/observe/ObservableState.hpp"
#include "mornik/flow/observe/Published.hpp"

#include "tests/support/QueueGate.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik {
namespace {

using test::drain;
using test::waitFor;

class Counter : public ObservableObject {
 public:
  Published<int> count{*this, 0};
  Published<std::optional<std::string>> note{*this, std::nullopt};
};

TEST(ChangePublisher, NotifiesLiveSubscribersOnTheirQueuesAfterSendReturns) {
  ChangePublisher publisher;
  DispatchQueue queue("test.publisher");
  int onMain = 0;  // main queue only
  std::atomic<int> kept{0};
  std::atomic<int> ended{0};
  Subscription main = publisher.subscribe([&] {
    if (DispatchQueue::current() == DispatchQueue::main()) ++onMain;
  });
  Subscription keep = publisher.subscribe(queue, [&] { ++kept; });
  {
    test::QueueGate gate(queue);
    Subscription end = publisher.subscribe(queue, [&] { ++ended; });
    EXPECT_EQ(publisher.subscriberCount(), 3U);
    publisher.send();  // queued behind the gate, also for `end`
    publisher.send();
    EXPECT_EQ(onMain, 0);  // never inside send()
    end.cancel();
    EXPECT_FALSE(end.isActive());
  }
  drain(queue);
  drain(DispatchQueue::main());
  EXPECT_EQ(onMain, 2);
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
  EXPECT_EQ(seen, (std::vector<int>{1, 1}));
  EXPECT_EQ(counter->count.modify([](int& n) { return n += 5; }), 6);
  counter->note = std::string("hello");
  drain(DispatchQueue::main());
  EXPECT_EQ(seen.size(), 4U);
  EXPECT_EQ(counter->note.get(), "hello");
}

TEST(ObservableState, WritesThroughItsBindingNotifyAndTheBindingAloneKeepsItAlive) {
  std::weak_ptr<ObservableState<double>> weakCell;
  std::optional<Binding<double>> binding;
  std::vector<double> seen;  // main queue only
  Subscription subscription;
  {
    auto cell = ObservableState<double>::make(1.5);
    weakCell = cell;
    subscription = cell->objectWillChange().subscribe([&seen, weakCell] {
      if (auto live = weakCell.lock()) seen.push_back(live->get());
    });
    binding.emplace(cell->binding());
  }
  EXPECT_EQ(binding->get(), 1.5);
  binding->set(2.5);
  drain(DispatchQueue::main());
  weakCell.lock()->modify([](double& v) { v *= 2; });
  drain(DispatchQueue::main());
  EXPECT_EQ(seen, (std::vector<double>{2.5, 5.0}));
  binding = Binding<double>::constant(7);
  binding->set(8);
  EXPECT_EQ(static_cast<double>(*binding), 7);
  EXPECT_TRUE(weakCell.expired());
}

TEST(ChangePublisherStress, SendsSubscribesAndReleasesRaceCleanly) {
  const int rounds = test::scaled(3'000);
  ChangePublisher publisher;
  std::atomic<long> notified{0};
  Subscription steady = publisher.subscribe(DispatchQueue::global(), [&] { ++notified; });
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    while (!stop.load()) {
      Subscription brief = publisher.subscribe(DispatchQueue::global(), [] {});
      std::this_thread::yield();
    }
  });
  for (int i = 0; i < rounds; ++i) publisher.send();
  stop = true;
  churn.join();
  ASSERT_TRUE(waitFor([&] { return notified.load() == rounds; }));
  EXPECT_EQ(publisher.subscriberCount(), 1U);
}

}  // namespace
}  // namespace mornik
