#include "mornik/flow/pool/Producer.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueueID.hpp"
#include "mornik/concurrency/DispatchSemaphore.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/DeliveryLog.hpp"
#include "tests/support/ResultMatchers.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik::Flow {
namespace {

using test::Failed;
using test::Succeeded;
using test::waitFor;

// The counts a producer published, and its change notices (with whether
// each came on the main queue).
struct Observed {
  std::shared_ptr<test::DeliveryLog<std::int64_t>> counts = test::DeliveryLog<std::int64_t>::make();
  std::shared_ptr<test::DeliveryLog<bool>> changes = test::DeliveryLog<bool>::make();
  Subscription subscription;

  template <class T>
  explicit Observed(const std::shared_ptr<Producer<T>>& producer) {
    producer->inProgress()->onUpdate(DispatchQueue("producer.observer"),
                                     [counts = counts](std::int64_t n) { counts->add(n); });
    subscription = producer->objectWillChange().subscribe(
        [changes = changes] { changes->add(isMainQueue()); });
  }
};

TEST(Producer, ARefreshPublishesValueOrErrorThenTheCountAndOneChange) {
  const auto pool = Pool::make(DispatchQueue("producer.pool"));
  std::atomic<bool> fail{false};
  auto producer = Producer<int>::make(pool, [&]() -> Result<int> {
    if (fail) return WTF("offline", 5);
    return 7;
  });
  EXPECT_EQ(producer->value(), std::nullopt);
  const Observed observed(producer);
  const auto future = producer->refresh();
  EXPECT_THAT(future->wait(), Succeeded(7));
  ASSERT_TRUE(observed.changes->waitForSize(1));
  ASSERT_TRUE(observed.counts->waitForSize(3));
  EXPECT_EQ(observed.counts->values(), (std::vector<std::int64_t>{0, 1, 0}));
  EXPECT_EQ(producer->value(), 7);
  EXPECT_TRUE(pool->holds(future->id()));
  EXPECT_FALSE(pool->hasRecentError());

  fail = true;
  EXPECT_THAT(producer->refresh()->wait(), Failed(WTF("offline", 5)));
  ASSERT_TRUE(observed.changes->waitForSize(2));
  EXPECT_EQ(pool->errorPool()->recentError()->currentValue(), WTF("offline", 5));
  EXPECT_EQ(producer->inProgress()->currentValue(), 0);
  EXPECT_EQ(producer->value(), 7);  // a failure keeps the value
  EXPECT_THAT(observed.changes->values(), testing::Each(true));
}

TEST(Producer, OverlappingRefreshesAreCountedAndTheLastToFinishWins) {
  // On a concurrent queue both refreshes run at once.
  auto producer = Producer<std::string>::make(Pool::make(DispatchQueue::global()), nullptr);
  DispatchSemaphore firstGate;
  DispatchSemaphore secondGate;
  auto gated = [](DispatchSemaphore& gate, std::string value) {
    return [&gate, value] {
      gate.wait();
      return Result<std::string>(value);
    };
  };
  const auto first = producer->refresh(gated(firstGate, "first"));
  const auto second = producer->refresh(gated(secondGate, "second"));
  EXPECT_EQ(producer->inProgress()->currentValue(), 2);
  firstGate.signal();
  EXPECT_THAT(first->wait(), Succeeded(std::string("first")));
  ASSERT_TRUE(waitFor([&] { return producer->inProgress()->currentValue() == 1; }));
  EXPECT_EQ(producer->value(), "first");
  secondGate.signal();
  EXPECT_THAT(second->wait(), Succeeded(std::string("second")));
  ASSERT_TRUE(waitFor([&] { return producer->inProgress()->currentValue() == 0; }));
  EXPECT_EQ(producer->value(), "second");
}

TEST(Producer, WithoutABlockOrWithAContextThatHasGoneARefreshFailsAndChangesNothing) {
  auto producer = Producer<int>::make(PoolID{"producer.noblock"});
  EXPECT_EQ(producer->pool(), PoolID{"producer.noblock"}.pool());
  const Observed observed(producer);
  EXPECT_THAT(producer->refresh()->wait(), Failed(WTF("block not provided for Flow.Producer", 0)));
  EXPECT_EQ(producer->refreshing(), producer);  // the chain form takes the same path
  ASSERT_TRUE(observed.counts->waitForSize(1));
  EXPECT_FALSE(producer->pool()->hasRecentError());
  EXPECT_EQ(observed.changes->size(), 0U);

  struct Settings {
    int zoom = 4;
  };
  auto settings = std::make_shared<Settings>();
  auto read = [](Settings& s) { return Result<int>(s.zoom); };
  EXPECT_THAT(producer->refresh(settings, read)->wait(), Succeeded(4));
  EXPECT_THAT(producer->refresh(std::weak_ptr<Settings>().lock(), read)->wait(),
              Failed(WTF("context is nil", 0)));
  EXPECT_TRUE(waitFor([&] { return producer->pool()->hasRecentError(); }));
}

// The pool keeps a refresh running after the producer is gone; its handlers
// then find nothing to update.
TEST(Producer, ARefreshOutlivesItsProducerQuietly) {
  const auto pool = Pool::make(DispatchQueue("producer.pool"));
  auto producer = Producer<int>::make(pool, nullptr);
  const auto signal = producer->signal();
  DispatchSemaphore gate;
  const auto future = producer->refresh([&] {
    gate.wait();
    return Result<int>(9);
  });
  const std::weak_ptr<Producer<int>> weak = producer;
  producer.reset();
  EXPECT_TRUE(weak.expired());
  gate.signal();
  EXPECT_THAT(future->wait(), Succeeded(9));
  // Registered after the producer's handlers on the same serial queue, so it
  // runs after them.
  std::atomic<bool> after{false};
  future->onComplete([&](const Result<int>&) { after = true; });
  ASSERT_TRUE(waitFor([&] { return after.load(); }));
  EXPECT_EQ(signal->currentValue(), std::nullopt);
  EXPECT_FALSE(pool->hasRecentError());
}

TEST(Producer, ConcurrentRefreshesBringTheCountBackToZero) {
  const auto pool = Pool::make(DispatchQueue::global());
  std::atomic<int> next{0};
  auto producer = Producer<int>::make(pool, [&] { return Result<int>(next.fetch_add(1) + 1); });
  const int perThread = test::scaled(500);
  std::vector<std::shared_ptr<Future<int>>> futures(static_cast<std::size_t>(4 * perThread));
  test::runConcurrently(4, [&](int thread) {
    for (int i = 0; i < perThread; ++i) {
      futures[static_cast<std::size_t>(thread * perThread + i)] = producer->refresh();
    }
  });
  for (const auto& future : futures) ASSERT_TRUE(future->wait().isSuccess());
  ASSERT_TRUE(waitFor([&] { return producer->inProgress()->currentValue() == 0; }));
  EXPECT_THAT(producer->value(),
              testing::Optional(testing::AllOf(testing::Ge(1), testing::Le(4 * perThread))));
  EXPECT_EQ(pool->futureCount(), futures.size());
}

}  // namespace
}  // namespace mornik::Flow
