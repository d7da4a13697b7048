#include "mornik/flow/pool/Pool.hpp"

#include <atomic>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/Task.hpp"
#include "mornik/flow/signal/Signal.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/QueueGate.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik::Flow {
namespace {

using test::drain;
using test::QueueGate;
using test::waitFor;

// Counts its live instances; may run a block when destroyed.
struct Tracked {
  static inline std::atomic<int> alive{0};
  std::function<void()> onDestroy;
  Tracked() { ++alive; }
  ~Tracked() {
    if (onDestroy) onDestroy();
    --alive;
  }
  Tracked(const Tracked&) = delete;
  Tracked& operator=(const Tracked&) = delete;
};

struct Context {
  std::string name = "ctx";
};

// ---- Holding work alive ----

TEST(Pool, WorkTheCallerDropsStillRunsOnThePoolsQueueBecauseThePoolHoldsIt) {
  auto pool = Pool::make(DispatchQueue("test.pool"));
  std::string ranOn;  // written by the work before completion
  std::atomic<int> delivered{0};
  pool->future([&]() -> Result<int> {
        ranOn = DispatchQueue::currentLabel();
        return 7;
      })
      ->onSuccess(DispatchQueue::main(), [&](int value) { delivered += value; });
  DispatchQueue other("test.other");
  pool->future(other,
               [&]() -> Result<int> { return DispatchQueue::currentLabel() == "test.other"; })
      ->onSuccess(DispatchQueue::main(), [&](int onOther) { delivered += 100 * onOther; });
  // The same work without the pool goes with its last reference (the gate
  // holds the start task until the reference is gone).
  std::atomic<bool> unownedRan{false};
  DispatchQueue unowned("test.unowned");
  QueueGate gate(unowned);
  Future<int>::make(unowned, [&]() -> Result<int> {
    unownedRan = true;
    return 0;
  })->onSuccess([&](int /*unused*/) { unownedRan = true; });
  gate.release();
  drain(unowned);
  ASSERT_TRUE(waitFor([&] { return delivered.load() == 107; }));
  EXPECT_EQ(ranOn, "test.pool");
  EXPECT_FALSE(unownedRan.load());
  EXPECT_EQ(pool->futureCount(), 2U);
}

TEST(Pool, DiscardReleasesAFutureAndWhatItsWorkCapturesRetainedObjectsStayForThePoolsLife) {
  auto pool = Pool::make(DispatchQueue("test.pool"));
  auto captured = std::make_shared<Tracked>();
  auto future = pool->promise<int>([captured](const auto& /*unused*/) {});
  const FutureID id = future->id();
  EXPECT_EQ(pool->retain(future), future);  // the same future twice: one entry
  EXPECT_EQ(pool->futureCount(), 1U);
  pool->discard(FutureID::fresh());  // not held: nothing happens
  EXPECT_TRUE(pool->holds(id));
  std::weak_ptr<Tracked> capturedRef = captured;
  captured.reset();
  future.reset();
  EXPECT_FALSE(capturedRef.expired());
  pool->discard(id);
  EXPECT_FALSE(pool->holds(id));
  EXPECT_TRUE(capturedRef.expired());

  auto kept = std::make_shared<Tracked>();
  std::weak_ptr<Tracked> keptRef = kept;
  pool->retain(kept);
  kept.reset();
  EXPECT_FALSE(keptRef.expired());
  pool.reset();
  EXPECT_TRUE(keptRef.expired());
}

TEST(Pool, ReleasingAFutureThatCallsBackIntoThePoolDoesNotDeadlock) {
  auto pool = Pool::make(DispatchQueue("test.pool"));
  std::weak_ptr<Pool> weakPool = pool;
  auto tracked = std::make_shared<Tracked>();
  tracked->onDestroy = [weakPool] {
    if (auto alive = weakPool.lock()) {
      alive->discard(FutureID::fresh());
      (void)alive->future([] { return Result<int>(1); });
    }
  };
  const FutureID id = pool->promise<int>([tracked](const auto& /*unused*/) {})->id();
  const FutureID replaced = pool->promise<int>([](const auto& /*unused*/) {})->id();
  tracked.reset();
  pool->discard(id);  // destroys `tracked`, which re-enters the pool
  EXPECT_EQ(pool->futureCount(), 2U);
  EXPECT_TRUE(pool->holds(replaced));
}

// ---- Factories ----

TEST(Pool, PromiseAndAsyncFactoriesCompleteAsTheirWorkSays) {
  auto pool = Pool::make(DispatchQueue("test.pool"));
  auto promised = pool->promise<std::string>(
      [](const std::shared_ptr<Future<std::string>>& self) { self->complete(std::string("p")); });
  auto asyncValue = pool->future([]() -> Task<int> { co_return 5; });
  auto asyncThrow = pool->future(DispatchQueue("test.async"), []() -> Task<int> {
    throw std::runtime_error("boom");
    co_return 0;
  });
  EXPECT_EQ(promised->wait().value(), "p");
  EXPECT_EQ(asyncValue->wait().value(), 5);
  EXPECT_EQ(asyncThrow->wait().error().localizedDescription(), "boom");
  EXPECT_EQ(asyncThrow->queue().label(), "test.async");
  EXPECT_EQ(pool->futureCount(), 3U);
}

TEST(Pool, AWeakContextThatIsGoneStillRunsTheBlockWithNoContext) {
  DispatchQueue queue("test.pool");
  auto pool = Pool::make(queue);
  auto context = std::make_shared<Context>();
  QueueGate gate(queue);  // keeps the work from running before the context goes
  auto withContext =
      pool->future(context, [](const std::shared_ptr<Context>& c) -> Result<std::string> {
        return c ? c->name : std::string("gone");
      });
  auto withoutContext = pool->future(std::nullopt, std::make_shared<Context>(),
                                     [](const std::shared_ptr<Context>& c) -> Result<std::string> {
                                       return c ? c->name : std::string("gone");
                                     });
  // Only the start futures are in the table; the pool holds the rest
  // through them.
  EXPECT_EQ(pool->futureCount(), 2U);
  EXPECT_FALSE(pool->holds(withContext->id()));
  std::atomic<int> done{0};
  std::string first;
  std::string second;
  withContext->onSuccess(DispatchQueue::main(), [&](const std::string& s) {
    first = s;
    ++done;
  });
  withoutContext->onSuccess(DispatchQueue::main(), [&](const std::string& s) {
    second = s;
    ++done;
  });
  withContext.reset();
  withoutContext.reset();
  gate.release();
  ASSERT_TRUE(waitFor([&] { return done.load() == 2; }));
  EXPECT_EQ(first, "ctx");
  EXPECT_EQ(second, "gone");
}

TEST(Pool, AnAsyncContextIsHeldByTheWorkAndAThrowBecomesTheFailure) {
  DispatchQueue queue("test.pool");
  auto pool = Pool::make(queue);
  auto context = std::make_shared<Context>();
  std::weak_ptr<Context> contextRef = context;
  auto named = pool->future(queue, context, [](std::shared_ptr<Context> c) -> Task<std::string> {
    co_return c->name + " on " + DispatchQueue::currentLabel();
  });
  auto failed = pool->future(context, [](std::shared_ptr<Context> /*unused*/) -> Task<int> {
    throw std::runtime_error("no");
    co_return 0;
  });
  context.reset();
  EXPECT_FALSE(contextRef.expired());
  EXPECT_EQ(named->wait().value(), "ctx on test.pool");
  EXPECT_EQ(failed->wait().error().localizedDescription(), "no");
}

// ---- Errors ----

TEST(Pool, FailingRoutesAFailureIntoTheErrorPoolWhileThePoolLives) {
  auto pool = Pool::make(DispatchQueue("test.pool"));
  EXPECT_FALSE(pool->hasRecentError());
  pool->future([]() -> Result<int> { return WTF("lost", 4); })->failing(pool);
  pool->future([]() -> Result<int> { return 1; })->failing(pool);
  ASSERT_TRUE(waitFor([&] { return pool->errorPool()->errorCount() == 1; }));
  EXPECT_TRUE(pool->hasRecentError());
  EXPECT_EQ(pool->errorPool()->errors()[0].localizedDescription(), "lost");
  // Forwarding to another pool starts with the recent error.
  auto other = Pool::make(DispatchQueue("test.other"));
  pool->forwardErrors(other);
  ASSERT_TRUE(waitFor([&] { return other->hasRecentError(); }));
  EXPECT_EQ(other->errorPool()->errors()[0].localizedDescription(), "lost");
  pool->errorPool()->clearRecent();
  EXPECT_FALSE(pool->hasRecentError());

  // The pool is held weakly: a failure after it went is dropped.
  DispatchQueue queue("test.late");
  auto late = Future<int>::promise(queue);
  std::weak_ptr<ErrorPool> errorsRef = pool->errorPool();
  late->failing(pool);
  pool.reset();
  EXPECT_TRUE(errorsRef.expired());
  late->complete(WTF("late", 5));
  drain(queue);
}

// ---- Signals through a pool ----

TEST(Pool, SignalValuesRunAsPoolWorkAndTheirFailuresReachTheErrorPool) {
  DispatchQueue queue("test.pool");
  auto pool = Pool::make(queue);
  auto signal = Signal<int>::make(DispatchQueue("test.signal"), 1);
  std::vector<int> saved;  // pool queue only
  std::string ranOn;
  signal->onUpdate(pool, [&](int value) -> Result<void> {
    ranOn = DispatchQueue::currentLabel();
    if (value < 0) return WTF("negative " + std::to_string(value), 0);
    saved.push_back(value);
    return {};
  });
  signal->update(-2);
  signal->update(3);
  ASSERT_TRUE(
      waitFor([&] { return pool->errorPool()->errorCount() == 1 && pool->futureCount() == 0; }));
  drain(queue);
  EXPECT_EQ(saved, (std::vector<int>{1, 3}));
  EXPECT_EQ(ranOn, "test.pool");
  EXPECT_EQ(pool->errorPool()->errors()[0].localizedDescription(), "negative -2");

  pool.reset();  // values that come later are ignored
  signal->update(4);
  drain(signal->queue());
  drain(queue);
  EXPECT_EQ(saved, (std::vector<int>{1, 3}));
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
  std::atomic<int> heldCompleted{0};
  std::atomic<int> retainedAlive{0};
  struct Retained {
    explicit Retained(std::atomic<int>& count) : alive(count) { ++alive; }
    ~Retained() { --alive; }
    Retained(const Retained&) = delete;
    Retained& operator=(const Retained&) = delete;
    std::atomic<int>& alive;
  };
  test::runConcurrently(kThreads, [&](int t) {
    for (int i = 0; i < kPerThread; ++i) {
      // Held: even i (a quarter of all fail); discarded at once: odd i
      // (which may go before they ran, and never fail).
      const bool held = i % 2 == 0;
      auto future = pool->future([i]() -> Result<int> {
        if (i % 4 == 0) return WTF("failed", i);
        return i;
      });
      future->failing(pool).onComplete([&heldCompleted, held](const Result<int>& /*unused*/) {
        if (held) ++heldCompleted;
      });
      if (!held) pool->discard(future->id());
      if (i % 100 == 0) {
        pool->retain(std::make_shared<Retained>(retainedAlive));
      }
      if (t == 0 && i % 50 == 0) pool->setSignals(SignalsService::make(DispatchQueue::global()));
    }
  });
  const int total = kThreads * kPerThread;
  EXPECT_EQ(pool->futureCount(), static_cast<std::size_t>(total / 2));
  ASSERT_TRUE(waitFor([&] { return heldCompleted.load() == total / 2; }, 60));
  ASSERT_TRUE(waitFor(
      [&] { return pool->errorPool()->errorCount() == static_cast<std::size_t>(total / 4); }, 60));
  EXPECT_EQ(retainedAlive.load(), kThreads * ((kPerThread + 99) / 100));
  // A failure handler that just appended may still hold the pool for a
  // moment (it holds it weakly and locks it per error): the pool goes when
  // that last holder lets go, and takes what it retained with it.
  const std::weak_ptr<Pool> weak = pool;
  pool.reset();
  ASSERT_TRUE(waitFor([&] { return weak.expired(); }));
  EXPECT_EQ(retainedAlive.load(), 0);
}

}  // namespace
}  // namespace mornik::Flow
