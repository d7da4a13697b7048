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

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/Task.hpp"
#include "mornik/flow/signal/Signal.hpp"

#include "tests/support/Census.hpp"
#include "tests/support/Concurrently.hpp"
#include "tests/support/DeliveryLog.hpp"
#include "tests/support/QueueGate.hpp"
#include "tests/support/ResultMatchers.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik::Flow {
namespace {

using test::drain;
using test::QueueGate;
using test::Succeeded;
using test::waitFor;

// ---- Holding work alive ----

TEST(Pool, WorkTheCallerDropsStillRunsOnItsQueueBecauseThePoolHoldsIt) {
  auto pool = Pool::make(DispatchQueue("test.pool"));
  std::atomic<int> delivered{0};
  pool->future([]() -> Result<int> { return DispatchQueue::currentLabel() == "test.pool"; })
      ->onSuccess(DispatchQueue::main(), [&](int onPool) { delivered += onPool; });
  pool->future(DispatchQueue("test.other"),
               []() -> Result<int> { return DispatchQueue::currentLabel() == "test.other"; })
      ->onSuccess(DispatchQueue::main(), [&](int onOther) { delivered += 100 * onOther; });
  // The same work without the pool goes with its last reference (the gate
  // holds the start task until the reference is gone).
  std::atomic<bool> unownedRan{false};
  const DispatchQueue unowned("test.unowned");
  QueueGate gate(unowned);
  Future<int>::make(unowned, [&]() -> Result<int> {
    unownedRan = true;
    return 0;
  })->onSuccess([](int) {});
  gate.release();
  drain(unowned);
  ASSERT_TRUE(waitFor([&] { return delivered.load() == 101; }));
  EXPECT_FALSE(unownedRan.load());
  EXPECT_EQ(pool->futureCount(), 2U);  // completed, still held
}

TEST(Pool, DiscardReleasesAFutureRetainedObjectsStayForThePoolsLife) {
  auto pool = Pool::make(DispatchQueue("test.pool"));
  auto census = test::Census::make();
  auto future = pool->promise<int>([c = census->member()](const auto&) {});
  const FutureID id = future->id();
  EXPECT_EQ(pool->retain(future), future);  // the same future twice: one entry
  EXPECT_EQ(pool->futureCount(), 1U);
  pool->discard(FutureID::fresh());  // not held: nothing happens
  future.reset();
  EXPECT_TRUE(pool->holds(id));
  EXPECT_EQ(census->alive(), 1);
  pool->discard(id);
  EXPECT_FALSE(pool->holds(id));
  EXPECT_EQ(census->alive(), 0);

  pool->retain(census->object());
  EXPECT_EQ(census->alive(), 1);
  pool.reset();
  EXPECT_EQ(census->alive(), 0);
}

TEST(Pool, ReleasingAFutureThatCallsBackIntoThePoolDoesNotDeadlock) {
  auto pool = Pool::make(DispatchQueue("test.pool"));
  struct Reentrant {
    std::function<void()> onDestroy;
    ~Reentrant() { onDestroy(); }
  };
  auto reentrant = std::make_shared<Reentrant>();
  reentrant->onDestroy = [weak = std::weak_ptr<Pool>(pool)] {
    const auto alive = weak.lock();
    alive->discard(FutureID::fresh());
    (void)alive->future([] { return Result<int>(1); });
  };
  const FutureID id = pool->promise<int>([reentrant](const auto&) {})->id();
  reentrant.reset();
  pool->discard(id);  // destroys `reentrant`, which re-enters the pool
  EXPECT_EQ(pool->futureCount(), 1U);
}

// ---- Factories ----

struct Context {
  std::string name = "ctx";
};

TEST(Pool, FactoriesCompleteAsTheirWorkSaysAndContextsAreHeldAsDocumented) {
  const DispatchQueue queue("test.pool");
  auto pool = Pool::make(queue);
  auto promised = pool->promise<std::string>(
      [](const std::shared_ptr<Future<std::string>>& self) { self->complete(std::string("p")); });
  auto asyncThrow = pool->future(DispatchQueue("test.async"), []() -> Task<int> {
    throw std::runtime_error("boom");
    co_return 0;
  });
  EXPECT_THAT(promised->wait(), Succeeded(std::string("p")));
  EXPECT_THAT(pool->future([]() -> Task<int> { co_return 5; })->wait(), Succeeded(5));
  EXPECT_THAT(asyncThrow->wait(), test::FailedWith("boom"));
  EXPECT_EQ(asyncThrow->queue().label(), "test.async");

  // A weak context that is gone by the time the work runs gives the block
  // nothing; an async context is held by the work. Only the start futures
  // are in the table; the pool holds the rest through them.
  auto weakContext = std::make_shared<Context>();
  auto strongContext = std::make_shared<Context>();
  const std::size_t before = pool->futureCount();
  std::optional<QueueGate> gate(std::in_place, queue);
  auto named = [](const std::shared_ptr<Context>& c) -> Result<std::string> {
    return c ? c->name : std::string("gone");
  };
  auto withWeak = pool->future(weakContext, named);
  auto withStrong =
      pool->future(queue, strongContext, [](std::shared_ptr<Context> c) -> Task<std::string> {
        co_return c->name + " on " + DispatchQueue::currentLabel();
      });
  EXPECT_EQ(pool->futureCount(), before + 2);
  EXPECT_FALSE(pool->holds(withWeak->id()));
  auto results = test::DeliveryLog<std::string>::make();
  withWeak->onSuccess([results](const std::string& s) { results->add(s); });
  withStrong->onSuccess([results](const std::string& s) { results->add(s); });
  withWeak.reset();
  withStrong.reset();
  weakContext.reset();
  strongContext.reset();
  gate.reset();
  ASSERT_TRUE(results->waitForSize(2));
  EXPECT_THAT(results->values(), testing::UnorderedElementsAre("gone", "ctx on test.pool"));
}

// ---- Errors ----

TEST(Pool, FailingRoutesAFailureIntoTheErrorPoolWhileThePoolLivesAndOnToForwardedSinks) {
  auto pool = Pool::make(DispatchQueue("test.pool"));
  EXPECT_FALSE(pool->hasRecentError());
  pool->future([]() -> Result<int> { return WTF("lost", 4); })->failing(pool);
  pool->future([]() -> Result<int> { return 1; })->failing(pool);
  ASSERT_TRUE(waitFor([&] { return pool->errorPool()->errorCount() == 1; }));
  EXPECT_TRUE(pool->hasRecentError());
  EXPECT_EQ(pool->errorPool()->errors()[0], WTF("lost", 4));
  auto other = Pool::make(DispatchQueue("test.other"));
  pool->forwardErrors(other);  // starts with the recent error
  ASSERT_TRUE(waitFor([&] { return other->hasRecentError(); }));
  EXPECT_EQ(other->errorPool()->errors()[0], WTF("lost", 4));
  pool->errorPool()->clearRecent();
  EXPECT_FALSE(pool->hasRecentError());

  // The pool is held weakly: a failure after it went is dropped.
  const DispatchQueue queue("test.late");
  auto late = Future<int>::promise(queue);
  const std::weak_ptr<ErrorPool> errorsRef = pool->errorPool();
  late->failing(pool);
  pool.reset();
  EXPECT_TRUE(errorsRef.expired());
  late->complete(WTF("late", 5));
  drain(queue);
}

// ---- Signals through a pool ----

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
  EXPECT_EQ(saved.back(), values - 2);
  ASSERT_EQ(pool->errorPool()->errorCount(), static_cast<std::size_t>(values / 100));
  EXPECT_EQ(pool->errorPool()->errors()[0], WTF("negative -99", 0));

  pool.reset();  // values that come later are ignored
  signal->update(4);
  drain(signal->queue());
  drain(queue);
  EXPECT_EQ(ran.load(), values + 1);
}

TEST(Pool, CarriesASignalServiceOfItsOwnOnTheGlobalQueue) {
  auto pool = Pool::make(DispatchQueue("test.pool"));
  auto service = pool->signals();
  EXPECT_NE(service, SignalsService::shared());
  EXPECT_NE(Pool::make(DispatchQueue("test.other"))->signals(), service);
  EXPECT_EQ(service->queue(), DispatchQueue::global());
}

// ---- Many threads ----

TEST(PoolStress, TablesAndErrorsStayExactUnderConcurrentUse) {
  constexpr int kThreads = 8;
  const int kPerThread = test::scaled(4'000);
  auto pool = Pool::make(DispatchQueue::global());
  auto census = test::Census::make();
  std::atomic<int> heldCompleted{0};
  test::runConcurrently(kThreads, [&](int t) {
    for (int i = 0; i < kPerThread; ++i) {
      // Held: even i (a quarter of all fail); discarded at once: odd i
      // (which may go before they ran, and never fail).
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
  EXPECT_EQ(census->alive(), kThreads * ((kPerThread + 99) / 100));
  // A failure handler that just appended may still hold the pool for a
  // moment (it locks it per error): the pool goes when that last holder lets
  // go, and takes what it retained with it.
  const std::weak_ptr<Pool> weak = pool;
  pool.reset();
  ASSERT_TRUE(waitFor([&] { return weak.expired(); }));
  EXPECT_EQ(census->alive(), 0);
}

}  // namespace
}  // namespace mornik::Flow
