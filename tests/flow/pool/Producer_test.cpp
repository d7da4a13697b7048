#include "mornik/flow/pool/Producer.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueueID.hpp"
#include "mornik/concurrency/DispatchSemaphore.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik::Flow {
namespace {

// What a producer published, as seen by subscribers on a serial queue.
struct Recorder {
  std::mutex mutex;
  std::vector<std::int64_t> counts;
  int changes = 0;
  bool changesOnMain = true;

  std::vector<std::int64_t> snapshot() {
    std::lock_guard lock(mutex);
    return counts;
  }
  int changeCount() {
    std::lock_guard lock(mutex);
    return changes;
  }
};

// The recorder is shared with the handlers: a delivery may still be on its
// way when a test ends.
template <class T>
Subscription record(const std::shared_ptr<Producer<T>>& producer,
                    const std::shared_ptr<Recorder>& recorder, const DispatchQueue& serial) {
  producer->inProgress()->onUpdate(serial, [recorder](std::int64_t n) {
    std::lock_guard lock(recorder->mutex);
    recorder->counts.push_back(n);
  });
  return producer->objectWillChange().subscribe([recorder] {
    std::lock_guard lock(recorder->mutex);
    ++recorder->changes;
    recorder->changesOnMain = recorder->changesOnMain && isMainQueue();
  });
}

std::shared_ptr<Pool> newPool() { return Pool::make(DispatchQueue("producer.pool")); }

TEST(Producer, RefreshPublishesTheValueTheCountAndOneChange) {
  const auto pool = newPool();
  auto producer = Producer<int>::make(pool, [] { return Result<int>(7); });
  EXPECT_EQ(producer->value(), std::nullopt);
  EXPECT_EQ(producer->inProgress()->currentValue(), 0);

  const auto recorder = std::make_shared<Recorder>();
  const DispatchQueue serial("producer.observer");
  const Subscription changes = record(producer, recorder, serial);
  const auto future = producer->refresh();
  EXPECT_EQ(future->wait().value(), 7);
  ASSERT_TRUE(test::waitFor([&] { return recorder->changeCount() == 1; }));
  ASSERT_TRUE(test::waitFor([&] { return recorder->snapshot().size() == 3; }));
  EXPECT_EQ(recorder->snapshot(), (std::vector<std::int64_t>{0, 1, 0}));
  EXPECT_TRUE(recorder->changesOnMain);
  EXPECT_EQ(producer->value(), 7);
  EXPECT_TRUE(pool->holds(future->id()));
  EXPECT_FALSE(pool->hasRecentError());
}

TEST(Producer, OverlappingRefreshesAreCountedAndTheLastToFinishWins) {
  // On a concurrent queue both refreshes run at once.
  auto producer = Producer<std::string>::make(Pool::make(DispatchQueue::global()), nullptr);
  DispatchSemaphore firstGate;
  DispatchSemaphore secondGate;
  const auto first = producer->refresh([&] {
    firstGate.wait();
    return Result<std::string>("first");
  });
  EXPECT_EQ(producer->inProgress()->currentValue(), 1);
  const auto second = producer->refresh([&] {
    secondGate.wait();
    return Result<std::string>("second");
  });
  EXPECT_EQ(producer->inProgress()->currentValue(), 2);
  firstGate.signal();
  EXPECT_EQ(first->wait().value(), "first");
  ASSERT_TRUE(test::waitFor([&] { return producer->inProgress()->currentValue() == 1; }));
  EXPECT_EQ(producer->value(), "first");
  secondGate.signal();
  EXPECT_EQ(second->wait().value(), "second");
  ASSERT_TRUE(test::waitFor([&] { return producer->inProgress()->currentValue() == 0; }));
  EXPECT_EQ(producer->value(), "second");
}

TEST(Producer, AFailedRefreshGoesToTheErrorPoolAndKeepsTheValue) {
  const auto pool = newPool();
  std::atomic<bool> fail{false};
  auto producer = Producer<int>::make(pool, [&]() -> Result<int> {
    if (fail) return WTF("offline", 5);
    return 1;
  });
  const auto recorder = std::make_shared<Recorder>();
  const Subscription changes = record(producer, recorder, DispatchQueue("producer.observer"));
  EXPECT_EQ(producer->refresh()->wait().value(), 1);
  ASSERT_TRUE(test::waitFor([&] { return recorder->changeCount() == 1; }));
  EXPECT_EQ(producer->value(), 1);

  fail = true;
  const Result<int> failed = producer->refresh()->wait();
  ASSERT_TRUE(failed.isFailure());
  EXPECT_EQ(failed.error().code(), 5);
  ASSERT_TRUE(test::waitFor([&] { return pool->hasRecentError(); }));
  EXPECT_EQ(pool->errorPool()->recentError()->currentValue()->localizedDescription(), "offline");
  ASSERT_TRUE(test::waitFor([&] { return recorder->changeCount() == 2; }));
  EXPECT_EQ(producer->inProgress()->currentValue(), 0);
  EXPECT_EQ(producer->value(), 1);
}

TEST(Producer, WithoutABlockRefreshFailsAndChangesNothing) {
  auto producer = Producer<int>::make(PoolID{"producer.noblock"});
  EXPECT_EQ(producer->pool(), PoolID{"producer.noblock"}.pool());
  const auto recorder = std::make_shared<Recorder>();
  const Subscription changes = record(producer, recorder, DispatchQueue("producer.observer"));
  const Result<int> result = producer->refresh()->wait();
  ASSERT_TRUE(result.isFailure());
  EXPECT_EQ(result.error().localizedDescription(), "block not provided for Flow.Producer");
  EXPECT_EQ(result.error().code(), 0);
  // The refreshing() chain form takes the same path.
  EXPECT_EQ(producer->refreshing(), producer);
  ASSERT_TRUE(test::waitFor([&] { return recorder->snapshot().size() == 1; }));
  EXPECT_EQ(producer->inProgress()->currentValue(), 0);
  EXPECT_FALSE(producer->pool()->hasRecentError());
  EXPECT_EQ(recorder->changeCount(), 0);

  // An explicit block still works.
  EXPECT_EQ(producer->refresh([] { return Result<int>(3); })->wait().value(), 3);
}

TEST(Producer, AContextRefreshFailsOnceTheContextHasGone) {
  struct Settings {
    int zoom = 4;
  };
  const auto pool = newPool();
  auto producer = Producer<int>::make(pool, nullptr);
  auto settings = std::make_shared<Settings>();
  auto read = [](Settings& s) { return Result<int>(s.zoom); };
  EXPECT_EQ(producer->refresh(settings, read)->wait().value(), 4);
  settings.reset();
  const Result<int> gone = producer->refresh(std::weak_ptr<Settings>().lock(), read)->wait();
  ASSERT_TRUE(gone.isFailure());
  EXPECT_EQ(gone.error().localizedDescription(), "context is nil");
  ASSERT_TRUE(test::waitFor([&] { return pool->hasRecentError(); }));
}

// The pool keeps a refresh running after the producer is gone; its handlers
// then find nothing to update.
TEST(Producer, ARefreshOutlivesItsProducerQuietly) {
  const auto pool = newPool();
  auto producer = Producer<int>::make(pool, nullptr);
  const auto signal = producer->signal();
  DispatchSemaphore gate;
  const auto future = producer->refresh([&] {
    gate.wait();
    return Result<int>(9);
  });
  std::weak_ptr<Producer<int>> weak = producer;
  producer.reset();
  EXPECT_TRUE(weak.expired());
  gate.signal();
  EXPECT_EQ(future->wait().value(), 9);
  // Registered after the producer's handlers on the same serial queue, so it
  // runs after them.
  std::atomic<bool> after{false};
  future->onComplete([&](const Result<int>&) { after = true; });
  ASSERT_TRUE(test::waitFor([&] { return after.load(); }));
  EXPECT_EQ(signal->currentValue(), std::nullopt);
  EXPECT_FALSE(pool->hasRecentError());
}

// Refreshes from several threads at once: the count comes back to 0 and
// every value was produced by some refresh.
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
  ASSERT_TRUE(test::waitFor([&] { return producer->inProgress()->currentValue() == 0; }));
  const std::optional<int> last = producer->value();
  ASSERT_TRUE(last.has_value());
  EXPECT_GE(*last, 1);
  EXPECT_LE(*last, 4 * perThread);
  EXPECT_EQ(pool->futureCount(), futures.size());
}

}  // namespace
}  // namespace mornik::Flow
