#include "mornik/flow/signal/SignalsService.hpp"

#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/flow/signal/Notifications.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/QueueGate.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik::Flow {

namespace here {
struct Item {
  int n = 0;
};
}  // namespace here
namespace there {
struct Item {
  int n = 0;
};
}  // namespace there

namespace {

using test::drain;
using test::waitFor;

template <int N>
struct Tag {
  int n = N;
};

// Keys and signals of Tag<0> .. Tag<sizeof...(I) - 1>, in order.
template <int... I>
std::vector<TypeKey> tagKeys(std::integer_sequence<int, I...> /*unused*/) {
  return {TypeKey::of<Tag<I>>()...};
}
template <int... I>
std::vector<std::shared_ptr<const void>> tagSignals(SignalsService& hub,
                                                    std::integer_sequence<int, I...> /*unused*/) {
  return {hub.subscribeFor<Tag<I>>()...};
}

TEST(SignalsService, EveryTypeHasItsOwnSignalAndEveryCallForOneTypeGetsTheSameOne) {
  auto hub = SignalsService::make(DispatchQueue("test.hub"));
  constexpr auto kTags = std::make_integer_sequence<int, 48>();
  const std::vector<TypeKey> keys = tagKeys(kTags);
  const auto signals = tagSignals(*hub, kTags);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    for (std::size_t j = 0; j < keys.size(); ++j) {
      EXPECT_EQ(keys[i] == keys[j], i == j);
      EXPECT_EQ(signals[i] == signals[j], i == j);
    }
  }
  EXPECT_EQ(tagSignals(*hub, kTags), signals);
  // Same spelling, different types; a template's arguments count.
  EXPECT_NE(TypeKey::of<here::Item>(), TypeKey::of<there::Item>());
  EXPECT_NE(hub->subscribeFor<here::Item>().get(),
            static_cast<const void*>(hub->subscribeFor<there::Item>().get()));
  EXPECT_NE(TypeKey::of<std::vector<int>>(), TypeKey::of<std::vector<long>>());
}

TEST(SignalsService, ValuesReachOnlySubscribersOfTheirTypeOnTheHubsQueue) {
  DispatchQueue queue("test.hub");
  auto hub = SignalsService::make(queue);
  hub->send(here::Item{1});  // nobody listens yet: buffered
  std::vector<int> firsts;   // queue only
  std::vector<int> seconds;  // queue only
  std::string ranOn;
  hub->subscribeFor<here::Item>()->onUpdate([&](const here::Item& item) {
    ranOn = DispatchQueue::currentLabel();
    firsts.push_back(item.n);
  });
  hub->subscribeFor<there::Item>()->onUpdate(
      [&](const there::Item& item) { seconds.push_back(item.n); });
  hub->send(there::Item{2});
  hub->send(here::Item{3});
  drain(queue);
  EXPECT_EQ(firsts, (std::vector<int>{1, 3}));
  EXPECT_EQ(seconds, std::vector<int>{2});
  EXPECT_EQ(ranOn, "test.hub");
  EXPECT_EQ(hub->queue(), queue);
}

TEST(SignalsService, NotifiersFireOnEverySubscriptionMadeAfterThem) {
  DispatchQueue queue("test.hub");
  auto hub = SignalsService::make(queue);
  // A subscription before any onSubscribe leaves no trace.
  (void)hub->subscribeFor<here::Item>();
  int told = 0;  // queue only
  hub->onSubscribe<here::Item>()->onUpdate([&](std::monostate /*unused*/) { ++told; });
  drain(queue);
  EXPECT_EQ(told, 0);
  (void)hub->subscribeFor<here::Item>();
  drain(queue);
  EXPECT_EQ(told, 1);
  (void)hub->subscribeFor<here::Item>();
  (void)hub->subscribeFor<there::Item>();  // another type's notifier
  drain(queue);
  EXPECT_EQ(told, 2);
  // A sender that asks after somebody subscribed is told at once.
  int toldLate = 0;  // queue only
  EXPECT_EQ(hub->onSubscribe<here::Item>(), hub->onSubscribe<here::Item>());
  hub->onSubscribe<here::Item>()->onUpdate([&](std::monostate /*unused*/) { ++toldLate; });
  drain(queue);
  EXPECT_EQ(toldLate, 1);
}

TEST(SignalsService, TheSharedHubIsMadeOnceAndCanBeReplaced) {
  auto shared = SignalsService::shared();
  EXPECT_EQ(SignalsService::shared(), shared);
  EXPECT_EQ(shared->queue(), DispatchQueue::global());
  auto mine = SignalsService::make(DispatchQueue("test.mine"));
  SignalsService::setShared(mine);
  EXPECT_EQ(SignalsService::shared(), mine);
  SignalsService::setShared(nullptr);
  auto fresh = SignalsService::shared();
  EXPECT_NE(fresh, mine);
  EXPECT_NE(fresh, nullptr);
}

TEST(Notifications, DispatchersCarryEachTypeOnTheGlobalQueue) {
  auto hub = Notifications::make();
  hub->send(here::Item{1});
  auto signal = hub->subscribeFor<here::Item>();
  EXPECT_EQ(signal, hub->dispatcherOf<here::Item>()->dispatcher());
  EXPECT_EQ(signal, hub->subscribeFor<here::Item>());
  EXPECT_EQ(signal->queue(), DispatchQueue::global());
  EXPECT_EQ(hub->onSubscribe<there::Item>()->queue(), DispatchQueue::global());
  std::atomic<int> told{0};
  std::atomic<int> sum{0};
  hub->onSubscribe<there::Item>()->onUpdate([&](std::monostate /*unused*/) { ++told; });
  hub->subscribeFor<there::Item>()->onUpdate([&](const there::Item& item) { sum += item.n; });
  signal->onUpdate([&](const here::Item& item) { sum += 100 * item.n; });
  hub->send(there::Item{2});
  ASSERT_TRUE(waitFor([&] { return sum.load() == 102 && told.load() == 1; }));

  auto main = Notifications::main();
  EXPECT_EQ(Notifications::main(), main);
  Notifications::setMain(hub);
  EXPECT_EQ(Notifications::main(), hub);
  Notifications::setMain(nullptr);
  EXPECT_NE(Notifications::main(), hub);
}

TEST(SignalsServiceStress, ThreadsRacingOnFirstUseShareOneSignalPerTypeAndLoseNoValue) {
  const int kPerThread = test::scaled(2'000);
  constexpr int kThreads = 6;
  for (int round = 0; round < test::scaled(20); ++round) {
    auto hub = SignalsService::make(DispatchQueue::global());
    std::vector<std::shared_ptr<Signal<Tag<0>>>> seen0(kThreads);
    std::vector<std::shared_ptr<Signal<Tag<1>>>> seen1(kThreads);
    test::runConcurrently(kThreads, [&](int t) {
      seen0[t] = hub->subscribeFor<Tag<0>>();
      (void)hub->onSubscribe<Tag<1>>();
      seen1[t] = hub->subscribeFor<Tag<1>>();
    });
    for (int t = 1; t < kThreads; ++t) {
      EXPECT_EQ(seen0[t], seen0[0]);
      EXPECT_EQ(seen1[t], seen1[0]);
    }
    if (round > 0) continue;
    std::atomic<long> received{0};
    hub->subscribeFor<Tag<2>>()->onUpdate([&](const Tag<2>& tag) { received += tag.n; });
    test::runConcurrently(kThreads, [&](int /*unused*/) {
      for (int i = 0; i < kPerThread; ++i) hub->send(Tag<2>{1});
    });
    ASSERT_TRUE(waitFor([&] { return received.load() == long{kThreads} * kPerThread; }));
  }
}

}  // namespace
}  // namespace mornik::Flow
