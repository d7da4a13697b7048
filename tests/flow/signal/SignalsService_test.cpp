#include "mornik/flow/signal/SignalsService.hpp"

#include <atomic>
#include <memory>
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

template <int... I>
std::vector<std::shared_ptr<const void>> tagSignals(SignalsService& hub,
                                                    std::integer_sequence<int, I...> /*unused*/) {
  return {hub.subscribeFor<Tag<I>>()...};
}

TEST(SignalsService, EachTypeHasOneSignalOfItsOwnAndValuesReachOnlyItsSubscribers) {
  DispatchQueue queue("test.hub");
  auto hub = SignalsService::make(queue);
  constexpr auto kTags = std::make_integer_sequence<int, 32>();
  const auto signals = tagSignals(*hub, kTags);
  for (std::size_t i = 0; i < signals.size(); ++i) {
    for (std::size_t j = 0; j < signals.size(); ++j) EXPECT_EQ(signals[i] == signals[j], i == j);
  }
  EXPECT_EQ(tagSignals(*hub, kTags), signals);

  hub->send(here::Item{1});  // nobody listens yet: buffered
  std::vector<int> seen;     // queue only
  hub->subscribeFor<here::Item>()->onUpdate([&](const here::Item& item) {
    seen.push_back(item.n * (DispatchQueue::currentLabel() == "test.hub" ? 1 : -1));
  });
  hub->subscribeFor<there::Item>()->onUpdate(
      [&](const there::Item& item) { seen.push_back(100 * item.n); });
  hub->send(there::Item{2});  // same spelling, another type
  hub->send(here::Item{3});
  drain(queue);
  EXPECT_EQ(seen, (std::vector<int>{1, 200, 3}));
}

TEST(SignalsService, NotifiersFireOnEverySubscriptionMadeAfterThem) {
  DispatchQueue queue("test.hub");
  auto hub = SignalsService::make(queue);
  (void)hub->subscribeFor<here::Item>();  // before any onSubscribe: no trace
  int told = 0;                           // queue only
  EXPECT_EQ(hub->onSubscribe<here::Item>(), hub->onSubscribe<here::Item>());
  hub->onSubscribe<here::Item>()->onUpdate([&](std::monostate /*unused*/) { ++told; });
  drain(queue);
  EXPECT_EQ(told, 0);
  (void)hub->subscribeFor<here::Item>();
  (void)hub->subscribeFor<here::Item>();
  (void)hub->subscribeFor<there::Item>();  // another type's notifier
  drain(queue);
  EXPECT_EQ(told, 2);
  int toldLate = 0;  // queue only; a sender that asks late is told at once
  hub->onSubscribe<here::Item>()->onUpdate([&](std::monostate /*unused*/) { ++toldLate; });
  drain(queue);
  EXPECT_EQ(toldLate, 1);
}

TEST(SignalsService, TheProcessWideHubsAreMadeOnceAndCanBeReplaced) {
  auto shared = SignalsService::shared();
  EXPECT_EQ(SignalsService::shared(), shared);
  EXPECT_EQ(shared->queue(), DispatchQueue::global());
  auto mine = SignalsService::make(DispatchQueue("test.mine"));
  SignalsService::setShared(mine);
  EXPECT_EQ(SignalsService::shared(), mine);
  SignalsService::setShared(nullptr);
  EXPECT_NE(SignalsService::shared(), mine);

  auto main = Notifications::main();
  EXPECT_EQ(Notifications::main(), main);
  auto hub = Notifications::make();
  Notifications::setMain(hub);
  EXPECT_EQ(Notifications::main(), hub);
  Notifications::setMain(nullptr);
  EXPECT_NE(Notifications::main(), hub);
}

TEST(Notifications, DispatchersCarryEachTypeOnTheGlobalQueue) {
  auto hub = Notifications::make();
  hub->send(here::Item{1});
  auto signal = hub->subscribeFor<here::Item>();
  EXPECT_EQ(signal, hub->dispatcherOf<here::Item>()->dispatcher());
  EXPECT_EQ(signal->queue(), DispatchQueue::global());
  EXPECT_EQ(hub->onSubscribe<there::Item>()->queue(), DispatchQueue::global());
  std::atomic<int> told{0};
  std::atomic<int> sum{0};
  hub->onSubscribe<there::Item>()->onUpdate([&](std::monostate /*unused*/) { ++told; });
  hub->subscribeFor<there::Item>()->onUpdate([&](const there::Item& item) { sum += item.n; });
  signal->onUpdate([&](const here::Item& item) { sum += 100 * item.n; });
  hub->send(there::Item{2});
  ASSERT_TRUE(waitFor([&] { return sum.load() == 102 && told.load() == 1; }));
}

TEST(SignalsServiceStress, ThreadsRacingOnFirstUseShareOneSignalPerTypeAndLoseNoValue) {
  constexpr int kThreads = 6;
  for (int round = 0; round < test::scaled(20); ++round) {
    auto hub = SignalsService::make(DispatchQueue::global());
    std::vector<std::shared_ptr<Signal<Tag<0>>>> seen(kThreads);
    test::runConcurrently(kThreads, [&](int t) {
      (void)hub->onSubscribe<Tag<0>>();
      seen[static_cast<std::size_t>(t)] = hub->subscribeFor<Tag<0>>();
    });
    for (const auto& signal : seen) EXPECT_EQ(signal, seen[0]);
  }
  const int perThread = test::scaled(2'000);
  auto hub = SignalsService::make(DispatchQueue::global());
  std::atomic<long> received{0};
  hub->subscribeFor<Tag<2>>()->onUpdate([&](const Tag<2>& tag) { received += tag.n; });
  test::runConcurrently(kThreads, [&](int /*unused*/) {
    for (int i = 0; i < perThread; ++i) hub->send(Tag<2>{1});
  });
  ASSERT_TRUE(waitFor([&] { return received.load() == long{kThreads} * perThread; }));
}

}  // namespace
}  // namespace mornik::Flow
