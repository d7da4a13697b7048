#include "mornik/flow/pool/Pool.hpp"

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "mornik/concurrency/Task.hpp"
#include "mornik/flow/pool/ErrorPool.hpp"
#include "mornik/flow/signal/Signal.hpp"

#include "tests/support/Census.hpp"
#include "tests/support/Concurrently.hpp"
#include "tests/support/DeliveryLog.hpp"
#include "tests/support/QueueGate.hpp"
#include "tests/support/ResultMatchers.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik::Flow {
namespace {

using test::drain;
using test::Succeeded;
using test::waitFor;
using Errors = std::vector<Error>;

TEST(Pool, HoldsWorkTheCallerDropsUntilDiscardAndRetainedObjectsForItsLife) {
  auto pool = Pool::make(DispatchQueue("test.pool"));
  auto seen = test::DeliveryLog<std::string>::make();
  pool->future([] { return Result<std::string>(DispatchQueue::currentLabel()); })
      ->onSuccess([seen](const std::string& label) { seen->add(label); });
  pool->future(DispatchQueue("test.other"),
               []() -> Task<std::string> { co_return DispatchQueue::currentLabel(); })
      ->onSuccess([seen](const std::string& label) { seen->add(label); });
  ASSERT_TRUE(seen->waitForSize(2));
  EXPECT_THAT(seen->values(), testing::UnorderedElementsAre("test.pool", "test.other"));
  EXPECT_EQ(pool->futureCount(), 2U);                    // completed, still held
  EXPECT_NE(pool->signals(), SignalsService::shared());  // a service of its own

  auto census = test::Census::make();
  auto future = pool->promise<int>([c = census->member()](const auto&) {});
  const FutureID id = future->id();
  EXPECT_EQ(pool->retain(future), future);  // the same future twice: one entry
  EXPECT_EQ(pool->futureCount(), 3U);
  future.reset();
  EXPECT_EQ(census->alive(), 1);
  pool->discard(id);
  EXPECT_FALSE(pool->holds(id));
  EXPECT_EQ(census->alive(), 0);

  // A future whose release calls back into the pool does not deadlock it.
  struct Reentrant {
    std::function<void()> onDestroy;
    ~Reentrant() { onDestroy(); }
  };
  auto reentrant = std::make_shared<Reentrant>();
  reentrant->onDestroy = [weak = std::weak_ptr<Pool>(pool)] {
    (void)weak.lock()->future([] { return Result<int>(1); });
  };
  const FutureID reentering = pool->promise<int>([reentrant](const auto&) {})->id();
  reentrant.reset();
  pool->discard(reentering);
  EXPECT_EQ(pool->futureCount(), 3U);

  pool->retain(census->object());
  EXPECT_EQ(census->alive(), 1);
  pool.reset();
  EXPECT_EQ(census->alive(), 0);
}

TEST(Pool, ContextFormsHoldAWeakContextWeaklyAndAnAsyncOneStrongly) {
  const DispatchQueue queue("test.pool");
  auto pool = Pool::make(queue);
  auto weakContext = std::make_shared<std::string>("weak");
  auto strongContext = std::make_shared<std::string>("strong");
  std::optional<test::QueueGate> gate(std::in_place, queue);
  auto withWeak = pool->future(weakContext, [](const std::shared_ptr<std::string>& c) {
    return Result<std::string>(c ? *c : "gone");
  });
  auto withStrong =
      pool->future(queue, strongContext, [](std::shared_ptr<std::string> c) -> Task<std::string> {
        co_return *c + " on " + DispatchQueue::currentLabel();
      });
  EXPECT_FALSE(pool->holds(withWeak->id()));  // the pool holds it through its start future
  auto results = test::DeliveryLog<std::string>::make();
  withWeak->onSuccess([results](const std::string& s) { results->add(s); });
  withStrong->onSuccess([results](const std::string& s) { results->add(s); });
  withWeak.reset();
  withStrong.reset();
  weakContext.reset();
  strongContext.reset();
  gate.reset();
  ASSERT_TRUE(results->waitForSize(2));
  EXPECT_THAT(results->values(), testing::UnorderedElementsAre("gone", "strong on test.pool"));
  auto thrown = pool->future([]() -> Task<int> { throw std::runtime_error("boom"); });
  EXPECT_THAT(thrown->wait(), test::FailedWith("boom"));
}

TEST(Pool, FailingRoutesAFailureIntoTheErrorPoolWhileThePoolLivesAndOnToForwardedSinks) {
  auto pool = Pool::make(DispatchQueue("test.pool"));
  pool->future([]() -> Result<int> { return WTF("lost", 4); })->failing(pool);
  pool->future([]() -> Result<int> { return 1; })->failing(pool);
  ASSERT_TRUE(waitFor([&] { return pool->hasRecentError(); }));
  auto other = Pool::make(DispatchQueue("test.other"));
  pool->forwardErrors(other);  // starts with the recent error
  ASSERT_TRUE(waitFor([&] { return other->hasRecentError(); }));
  EXPECT_EQ(other->errorPool()->errors(), Errors{WTF("lost", 4)});
  EXPECT_EQ(pool->errorPool()->errors(), Errors{WTF("lost", 4)});

  // The pool is held weakly: a failure after it went is dropped.
  auto late = Future<int>::promise(DispatchQueue("test.late"));
  late->failing(pool);
  pool.reset();
  late->complete(WTF("late", 5));
  drain(late->queue());
}

TEST(ErrorPool, KeepsEveryErrorPublishesTheLatestOnMainAndForwardsWhileTheTargetLives) {
  auto pool = ErrorPool::make();
  auto target = ErrorPool::make();
  const std::weak_ptr<ErrorPool> targetRef = target;
  Errors seen;  // main queue only
  pool->recentError()->onUpdate([&](const Error& error) {
    seen.push_back(DispatchQueue::current() == DispatchQueue::main() ? error : WTF("off main", 0));
  });
  pool->append(WTF("e1", 1));
  pool->forwardErrors(target);  // hands on the recent error too
  pool->append(WTF("e2", 2));
  drain(DispatchQueue::main());
  EXPECT_EQ(seen, (Errors{WTF("e1", 1), WTF("e2", 2)}));
  EXPECT_EQ(target->errors(), seen);

  // clearRecent empties the buffer only: no handler runs, the list stays,
  // and a late subscriber gets nothing until the next error.
  pool->clearRecent();
  Errors late;  // main queue only
  pool->recentError()->onUpdate([&](const Error& error) { late.push_back(error); });
  target.reset();
  EXPECT_TRUE(targetRef.expired());  // forwarding does not keep the target
  pool->append(WTF("e3", 3));
  drain(DispatchQueue::main());
  EXPECT_EQ(late, Errors{WTF("e3", 3)});
  EXPECT_EQ(seen.size(), 3U);
  EXPECT_EQ(pool->errorCount(), 3U);
}

TEST(ErrorPoolStress, ConcurrentAppendsLoseNothingAndKeepEachThreadsOrder) {
  constexpr int kThreads = 8;
  const int kPerThread = test::scaled(10'000);
  auto pool = ErrorPool::make();
  std::atomic<long> delivered{0};
  pool->recentError()->onUpdate(DispatchQueue::global(), [&](const Error&) { ++delivered; });
  test::runConcurrently(kThreads, [&](int t) {
    for (int i = 0; i < kPerThread; ++i) pool->append(WTF("e", t * kPerThread + i));
  });
  const long total = long{kThreads} * kPerThread;
  ASSERT_TRUE(waitFor([&] { return delivered.load() == total; }, 60));
  std::vector<long> last(kThreads, -1);
  for (const Error& error : pool->errors()) {
    const auto thread = static_cast<std::size_t>(error.code() / kPerThread);
    ASSERT_GT(error.code(), last[thread]);
    last[thread] = error.code();
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(last[std::size_t(t)], (t + 1L) * kPerThread - 1);
}

TEST(Pool, SignalValuesRunAsPoolWorkThatLeavesThePoolOnceDoneAndFailuresReachTheErrorPool) {
  const DispatchQueue queue("test.pool");
  auto pool = Pool::make(queue);
  auto signal = Signal<int>::make(DispatchQueue("test.signal"), 1);
  std::vector<int> saved;  // pool queue only
  std::atomic<int> ran{0};
  signal->onUpdate(pool, [&](int value) -> Result<void> {
    ++ran;
    if (DispatchQueue::currentLabel() != "test.pool") return WTF("wrong queue", 1);
    if (value < 0) return WTF("negative " + std::to_string(value), 0);
    saved.push_back(value);
    return {};
  });
  const int values = test::scaled(2000);
  for (int i = 0; i < values; ++i) signal->update(i % 100 == 99 ? -i : i);
  ASSERT_TRUE(waitFor([&] { return ran.load() == values + 1 && pool->futureCount() == 0; }));
  drain(queue);
  EXPECT_EQ(saved.size(), static_cast<std::size_t>(values + 1 - values / 100));
  ASSERT_EQ(pool->errorPool()->errorCount(), static_cast<std::size_t>(values / 100));
  EXPECT_EQ(pool->errorPool()->errors()[0], WTF("negative -99", 0));

  pool.reset();  // values that come later are ignored
  signal->update(4);
  drain(signal->queue());
  drain(queue);
  EXPECT_EQ(ran.load(), values + 1);
}

TEST(PoolStress, TablesAndErrorsStayExactUnderConcurrentUse) {
  constexpr int kThreads = 8;
  const int kPerThread = test::scaled(4'000);
  auto pool = Pool::make(DispatchQueue::global());
  auto census = test::Census::make();
  std::atomic<int> heldCompleted{0};
  test::runConcurrently(kThreads, [&](int t) {
    for (int i = 0; i < kPerThread; ++i) {
      // Held: even i, a half of which fail; discarded at once: odd i.
      const bool held = i % 2 == 0;
      auto future = pool->future([i]() -> Result<int> {
        if (i % 4 == 0) return WTF("failed", i);
        return i;
      });
      future->failing(pool).onComplete([&heldCompleted, held](const Result<int>&) {
        if (held) ++heldCompleted;
      });
      if (!held) pool->discard(future->id());
      if (i % 100 == 0) pool->retain(census->object());
      if (t == 0 && i % 50 == 0) pool->setSignals(SignalsService::make(DispatchQueue::global()));
    }
  });
  const int total = kThreads * kPerThread;
  EXPECT_EQ(pool->futureCount(), static_cast<std::size_t>(total / 2));
  ASSERT_TRUE(waitFor([&] { return heldCompleted.load() == total / 2; }, 60));
  ASSERT_TRUE(waitFor(
      [&] { return pool->errorPool()->errorCount() == static_cast<std::size_t>(total / 4); }, 60));
  // A failure handler may hold the pool for a moment: it goes when that
  // last holder lets go, and takes what it retained with it.
  const std::weak_ptr<Pool> weak = pool;
  pool.reset();
  ASSERT_TRUE(waitFor([&] { return weak.expired(); }));
  EXPECT_EQ(census->alive(), 0);
}

}  // namespace
}  // namespace mornik::Flow
