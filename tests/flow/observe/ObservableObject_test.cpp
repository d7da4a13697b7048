#include "mornik/flow/observe/ObservableObject.hpp"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/DispatchSemaphore.hpp"
#include "mornik/flow/observe/Binding.hpp"
#include "mornik/flow/observe/ObservableState.hpp"
#include "mornik/flow/observe/Published.hpp"

#include "tests/support/QueueGate.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik {
namespace {

using test::drain;
using test::QueueGate;
using test::waitFor;

class Counter : public ObservableObject {
 public:
  Published<int> count{*this, 0};
  Published<std::optional<std::string>> note{*this, std::nullopt};
};

TEST(ChangePublisher, NotifiesSubscribersOnTheMainQueueAfterSendReturns) {
  ChangePublisher publisher;
  int notified = 0;  // main queue only
  bool inSend = false;
  bool ranInside = false;
  bool onMain = false;
  Subscription subscription = publisher.subscribe([&] {
    ranInside = inSend;
    onMain = DispatchQueue::current() == DispatchQueue::main();
    ++notified;
  });
  EXPECT_EQ(publisher.subscriberCount(), 1U);
  inSend = true;
  publisher.send();
  publisher.send();
  inSend = false;
  EXPECT_EQ(notified, 0);
  drain(DispatchQueue::main());
  EXPECT_EQ(notified, 2);
  EXPECT_FALSE(ranInside);
  EXPECT_TRUE(onMain);
}

TEST(ChangePublisher, AReleasedSubscriptionEndsEvenForQueuedNotifications) {
  ChangePublisher publisher;
  DispatchQueue queue("test.publisher");
  std::atomic<int> kept{0};
  std::atomic<int> ended{0};
  Subscription keep = publisher.subscribe(queue, [&] { ++kept; });
  {
    QueueGate gate(queue);
    Subscription end = publisher.subscribe(queue, [&] { ++ended; });
    publisher.send();  // queued behind the gate for both subscribers
    end.cancel();
    EXPECT_FALSE(end.isActive());
  }
  drain(queue);
  EXPECT_EQ(kept.load(), 1);
  EXPECT_EQ(ended.load(), 0);
  EXPECT_EQ(publisher.subscriberCount(), 1U);
  {
    Subscription scoped = publisher.subscribe(queue, [&] { ++ended; });
    EXPECT_EQ(publisher.subscriberCount(), 2U);
  }
  publisher.send();
  drain(queue);
  EXPECT_EQ(kept.load(), 2);
  EXPECT_EQ(ended.load(), 0);
  EXPECT_EQ(publisher.subscriberCount(), 1U);
}

TEST(Published, EveryAssignmentIsAnnouncedAndTheNewValueIsReadableWhenTheNoticeArrives) {
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
  EXPECT_EQ(static_cast<int>(counter->count), 6);
}

TEST(Binding, ReadsAndWritesThroughItsCallables) {
  int stored = 1;
  Binding<int> binding([&] { return stored; }, [&](int v) { stored = v * 2; });
  EXPECT_EQ(binding.get(), 1);
  binding.set(4);
  EXPECT_EQ(stored, 8);
  const Binding<int> copy = binding;
  EXPECT_EQ(static_cast<int>(copy), 8);

  auto constant = Binding<std::string>::constant("fixed");
  constant.set("ignored");
  EXPECT_EQ(constant.get(), "fixed");
}

TEST(ObservableState, WritesNotifyObserversAndTheBindingKeepsTheCellAlive) {
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
  ASSERT_FALSE(weakCell.expired());
  EXPECT_EQ(binding->get(), 1.5);
  binding->set(2.5);
  drain(DispatchQueue::main());
  EXPECT_EQ(seen, std::vector<double>{2.5});
  weakCell.lock()->modify([](double& v) { v *= 2; });
  drain(DispatchQueue::main());
  EXPECT_EQ(seen, (std::vector<double>{2.5, 5.0}));
  binding.reset();
  EXPECT_TRUE(weakCell.expired());
}

TEST(ChangePublisherStress, SendsSubscribesAndReleasesRaceCleanly) {
  const int rounds = test::scaled(5'000);
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
  std::thread sender([&] {
    for (int i = 0; i < rounds; ++i) publisher.send();
  });
  sender.join();
  stop = true;
  churn.join();
  ASSERT_TRUE(waitFor([&] { return notified.load() == rounds; }));
  EXPECT_EQ(publisher.subscriberCount(), 1U);
}

}  // namespace
}  // namespace mornik
