#include "mornik/flow/pool/Producer.hpp"

#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueueID.hpp"
#include "mornik/concurrency/DispatchSemaphore.hpp"
#include "mornik/flow/pool/RunBlocking.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/Recorder.hpp"
#include "tests/support/ResultMatchers.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik::Flow {
namespace {

using test::Failed;
using test::Succeeded;
using test::waitFor;

TEST(Producer, ARefreshPublishesValueOrErrorThenTheCountAndThenOneChangeOnMain) {
  const auto pool = Pool::make(DispatchQueue("producer.pool"));
  std::atomic<bool> fail{false};
  auto producer = Producer<int>::make(pool, [&]() -> Result<int> {
    if (fail) return WTF("offline", 5);
    return 7;
  });
  test::Recorder<std::int64_t> counts;
  producer->inProgress()->onUpdate(DispatchQueue("producer.observer"), counts.block());
  // Each notice re-reads the producer: the outcome is in place by then.
  test::Recorder<std::string> changes;
  Subscription subscription =
      producer->objectWillChange().subscribe([add = changes.block(), producer] {
        add(isMainQueue() ? std::to_string(producer->value().value_or(0)) : "off main");
      });
  const auto future = producer->refresh();
  EXPECT_THAT(future->wait(), Succeeded(7));
  EXPECT_TRUE(pool->holds(future->id()));
  ASSERT_TRUE(changes.waitForSize(1));
  ASSERT_TRUE(counts.waitForSize(3));
  EXPECT_EQ(counts.values(), (std::vector<std::int64_t>{0, 1, 0}));

  fail = true;  // a failure goes to the pool and keeps the value
  EXPECT_THAT(producer->refresh()->wait(), Failed(WTF("offline", 5)));
  ASSERT_TRUE(changes.waitForSize(2));
  EXPECT_EQ(changes.values(), (std::vector<std::string>{"7", "7"}));
  EXPECT_EQ(pool->errorPool()->errors(), std::vector<Error>{WTF("offline", 5)});
  EXPECT_EQ(producer->inProgress()->currentValue(), 0);
}

// Overlapping refreshes are counted and the last to finish wins; many at once
// bring the count back to zero.
TEST(Producer, OverlappingRefreshesAreCountedAndTheLastToFinishWins) {
  auto producer = Producer<int>::make(Pool::make(DispatchQueue::global()), nullptr);
  DispatchSemaphore gates[2];
  auto gated = [&gates](int i) {
    return [&gates, i] {
      gates[i].wait();
      return Result<int>(i);
    };
  };
  const auto first = producer->refresh(gated(0));
  const auto second = producer->refresh(gated(1));
  EXPECT_EQ(producer->inProgress()->currentValue(), 2);
  gates[1].signal();
  ASSERT_TRUE(waitFor([&] { return producer->inProgress()->currentValue() == 1; }));
  EXPECT_EQ(producer->value(), 1);
  gates[0].signal();
  ASSERT_TRUE(waitFor([&] { return producer->inProgress()->currentValue() == 0; }));
  EXPECT_EQ(producer->value(), 0);

  const int perThread = test::scaled(500);
  std::vector<std::shared_ptr<Future<int>>> futures(static_cast<std::size_t>(4 * perThread));
  test::runConcurrently(4, [&](int thread) {
    for (int i = 0; i < perThread; ++i) {
      futures[static_cast<std::size_t>(thread * perThread + i)] =
          producer->refresh([] { return Result<int>(7); });
    }
  });
  for (const auto& future : futures) ASSERT_TRUE(future->wait().isSuccess());
  ASSERT_TRUE(waitFor([&] { return producer->inProgress()->currentValue() == 0; }));
}

TEST(Producer, WithoutABlockOrAContextARefreshFailsAndAFinishedOneOutlivesItsProducerQuietly) {
  auto producer = Producer<int>::make(PoolID{"producer.noblock"});
  EXPECT_THAT(producer->refresh()->wait(), Failed(WTF("block not provided for Flow.Producer", 0)));
  EXPECT_EQ(producer->inProgress()->currentValue(), 0);
  EXPECT_FALSE(producer->pool()->hasRecentError());
  auto settings = std::make_shared<int>(4);
  auto read = [](int& zoom) { return Result<int>(zoom); };
  EXPECT_THAT(producer->refresh(settings, read)->wait(), Succeeded(4));
  EXPECT_THAT(producer->refresh(std::weak_ptr<int>().lock(), read)->wait(),
              Failed(WTF("context is nil", 0)));

  // The pool keeps a refresh running after the producer is gone; its
  // handlers then find nothing to update.
  const auto pool = Pool::make(DispatchQueue("producer.pool"));
  producer = Producer<int>::make(pool, nullptr);
  const auto signal = producer->signal();
  DispatchSemaphore gate;
  const auto future = producer->refresh([&] {
    gate.wait();
    return Result<int>(9);
  });
  producer.reset();
  gate.signal();
  std::atomic<bool> after{false};  // runs after the producer's handlers, on the same queue
  future->onComplete([&](const Result<int>&) { after = true; });
  ASSERT_TRUE(waitFor([&] { return after.load(); }));
  EXPECT_EQ(signal->currentValue(), std::nullopt);
}

Task<int> doubledLater(int n) {
  co_await sleepMs(1);
  if (n < 0) throw std::runtime_error("negative");
  co_return DispatchQueue::currentLabel() == DispatchQueue::global(QoS::userInitiated).label()
      ? 2 * n
      : -1;
}

TEST(RunBlocking, WaitsForTheTaskOnTheUserInitiatedQueueAndHandsOnItsError) {
  EXPECT_EQ(getSyncResultFrom([] { return doubledLater(4); }), 8);
  EXPECT_THAT(getSyncResultFromR([] { return doubledLater(-1); }), test::FailedWith("negative"));
  EXPECT_THROW((void)getSyncResultFrom([] { return doubledLater(-1); }), Error);
}

}  // namespace
}  // namespace mornik::Flow
