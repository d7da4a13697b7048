#include "mornik/flow/signal/SignalsService.hpp"

#include <algorithm>
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
  auto hub = SignalsService::make(DispatchQueue::main());
  // These subscriptions come before any notifier: they leave no trace.
  const std::vector<std::shared_ptr<const void>> signals{
      hub->subscribeFor<Tag<0>>(),           hub->subscribeFor<Tag<1>>(),
      hub->subscribeFor<Flow::Item>(),       hub->subscribeFor<Item>(),
      hub->subscribeFor<std::vector<int>>(), hub->subscribeFor<std::vector<long>>()};
  for (const auto& signal : signals)
    EXPECT_EQ(std::count(signals.begin(), signals.end(), signal), 1);
  EXPECT_EQ(hub->subscribeFor<Tag<1>>(), signals[1]);
  hub->send(Item{1});
  hub->send(Flow::Item{2});
  EXPECT_EQ(hub->subscribeFor<Item>()->currentValue()->n, 1);
  EXPECT_EQ(hub->subscribeFor<Flow::Item>()->currentValue()->n, 2);
  EXPECT_EQ(hub->subscribeFor<Item>()->queue(), DispatchQueue::main());

  const auto notifier = hub->onSubscribe<Item>();
  EXPECT_EQ(notifier, hub->onSubscribe<Item>());
  EXPECT_EQ(notifier->currentValue(), std::nullopt);
  int told = 0;  // main queue only
  notifier->onUpdate([&](std::monostate /*unused*/) { ++told; });
  (void)hub->subscribeFor<Item>();
  (void)hub->subscribeFor<Item>();
  (void)hub->subscribeFor<Flow::Item>();
  int toldLate = 0;  // a sender that asks late is told at once
  hub->onSubscribe<Item>()->onUpdate([&](std::monostate /*unused*/) { ++toldLate; });
  test::drain(DispatchQueue::main());
  EXPECT_EQ(told, 2);
  EXPECT_EQ(toldLate, 1);
}

TEST(Notifications, DispatchersCarryEachTypeOnTheGlobalQueueAndTheHubsAreMadeOnce) {
  auto hub = Notifications::make();
  hub->send(Item{1});
  const auto notifier = hub->onSubscribe<Item>();
  EXPECT_EQ(notifier->queue(), DispatchQueue::global());
  auto signal = hub->subscribeFor<Item>();
  EXPECT_TRUE(notifier->currentValue().has_value());  // fired
  EXPECT_EQ(signal, hub->dispatcherOf<Item>()->dispatcher());
  EXPECT_EQ(signal->queue(), DispatchQueue::global());
  EXPECT_EQ(signal->currentValue()->n, 1);
  EXPECT_FALSE(hub->onSubscribe<Tag<0>>()->currentValue().has_value());
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
