#include "mornik/flow/signal/SignalsService.hpp"

#include <algorithm>
#include <atomic>
#include <variant>

#include <gtest/gtest.h>

#include "mornik/flow/signal/Notifications.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/QueueGate.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik::Flow {
namespace {

struct Item {
  int n = 0;
};
template <int N>
struct Tag {};

TEST(SignalsService, EachTypeHasASignalAndANotifierOfItsOwn) {
  struct Item {  // the same name as Flow::Item, another type
    int n = 0;
  };
  DispatchQueue queue("test.hub");
  auto hub = SignalsService::make(queue);
  // These subscriptions come before any notifier: they leave no trace.
  const std::vector<std::shared_ptr<const void>> signals{
      hub->subscribeFor<Tag<0>>(),           hub->subscribeFor<Tag<1>>(),
      hub->subscribeFor<Flow::Item>(),       hub->subscribeFor<Item>(),
      hub->subscribeFor<std::vector<int>>(), hub->subscribeFor<std::vector<long>>()};
  for (const auto& signal : signals)
    EXPECT_EQ(std::count(signals.begin(), signals.end(), signal), 1);
  EXPECT_EQ(hub->subscribeFor<Tag<1>>(), signals[1]);
  EXPECT_EQ(hub->onSubscribe<Item>(), hub->onSubscribe<Item>());

  hub->send(Item{1});  // nobody listens yet: buffered
  int told = 0;        // queue only, as `seen`
  hub->onSubscribe<Item>()->onUpdate([&](std::monostate /*unused*/) { ++told; });
  std::vector<int> seen;
  hub->subscribeFor<Item>()->onUpdate([&](const Item& item) {
    seen.push_back(item.n * (DispatchQueue::currentLabel() == "test.hub" ? 1 : -1));
  });
  hub->subscribeFor<Flow::Item>()->onUpdate(
      [&](const Flow::Item& item) { seen.push_back(100 * item.n); });
  hub->send(Flow::Item{2});
  hub->send(Item{3});
  (void)hub->subscribeFor<Item>();
  test::drain(queue);
  EXPECT_EQ(seen, (std::vector<int>{1, 200, 3}));
  EXPECT_EQ(told, 2);  // once per later subscription to its own type
  int toldLate = 0;    // a sender that asks late is told at once
  hub->onSubscribe<Item>()->onUpdate([&](std::monostate /*unused*/) { ++toldLate; });
  test::drain(queue);
  EXPECT_EQ(toldLate, 1);
}

TEST(Notifications, DispatchersCarryEachTypeOnTheGlobalQueueAndTheHubsAreMadeOnce) {
  auto hub = Notifications::make();
  hub->send(Item{1});
  auto signal = hub->subscribeFor<Item>();
  EXPECT_EQ(signal, hub->dispatcherOf<Item>()->dispatcher());
  EXPECT_EQ(signal->queue(), DispatchQueue::global());
  EXPECT_EQ(hub->onSubscribe<Tag<0>>()->queue(), DispatchQueue::global());
  std::atomic<int> sum{0};
  hub->onSubscribe<Tag<0>>()->onUpdate([&](std::monostate /*unused*/) { sum += 1000; });
  hub->subscribeFor<Tag<0>>()->onUpdate([&](Tag<0> /*unused*/) { sum += 10; });
  signal->onUpdate([&](const Item& item) { sum += 100 * item.n; });
  hub->send(Tag<0>{});
  ASSERT_TRUE(test::waitFor([&] { return sum.load() == 1110; }));
  EXPECT_EQ(Notifications::main(), Notifications::main());
  EXPECT_EQ(SignalsService::shared(), SignalsService::shared());
  EXPECT_EQ(SignalsService::shared()->queue(), DispatchQueue::global());
}

TEST(SignalsServiceStress, ThreadsRacingOnFirstUseShareOneSignalAndOneNotifierPerType) {
  constexpr int kThreads = 6;
  for (int round = 0; round < test::scaled(20); ++round) {
    auto hub = SignalsService::make(DispatchQueue::global());
    std::vector<std::shared_ptr<const void>> seen(2 * kThreads);
    test::runConcurrently(kThreads, [&](int t) {
      seen[static_cast<std::size_t>(t)] = hub->onSubscribe<Tag<0>>();
      seen[static_cast<std::size_t>(kThreads + t)] = hub->subscribeFor<Tag<0>>();
    });
    EXPECT_EQ(std::count(seen.begin(), seen.end(), seen[0]), kThreads);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), seen[kThreads]), kThreads);
  }
}

}  // namespace
}  // namespace mornik::Flow
