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

// failing() routes a failure into the error pool while the pool lives (it
// holds the pool weakly); the error pool keeps every error, publishes the
// latest on the main queue and forwards to sinks while they live.
TEST(ErrorPool, KeepsEveryErrorPublishesTheLatestOnMainAndForwardsWhileTheTargetLives) {
  auto pool = Pool::make(DispatchQueue("test.pool"));
  const auto& errors = pool->errorPool();
  Errors seen;  // main queue only
  errors->recentError()->onUpdate([&](const Error& error) {
    seen.push_back(DispatchQueue::current() == DispatchQueue::main() ? error : WTF("off main", 0));
  });
  pool->future([]() -> Result<int> { return WTF("e1", 1); })->failing(pool);
  pool->future([]() -> Result<int> { return 1; })->failing(pool);
  ASSERT_TRUE(waitFor([&] { return pool->hasRecentError(); }));
  auto target = Pool::make(DispatchQueue("test.other"));
  const std::weak_ptr<Pool> targetRef = target;
  pool->forwardErrors(target);  // hands on the recent error too
  errors->append(WTF("e2", 2));
  drain(DispatchQueue::main());
  EXPECT_EQ(seen, (Errors{WTF("e1", 1), WTF("e2", 2)}));
  EXPECT_EQ(target->errorPool()->errors(), seen);

  // clearRecent empties the buffer only: no handler runs, the list stays,
  // and a late subscriber gets nothing until the next error.
  errors->clearRecent();
  EXPECT_FALSE(pool->hasRecentError());
  Errors late;  // main queue only
  errors->recentError()->onUpdate([&](const Error& error) { late.push_back(error); });
  target.reset();
  EXPECT_TRUE(targetRef.expired());  // forwarding does not keep the target
  errors->append(WTF("e3", 3));
  drain(DispatchQueue::main());
  EXPECT_EQ(late, Errors{WTF("e3", 3)});
  EXPECT_EQ(errors->errorCount(), 3U);

  auto failing = Future<int>::promise(DispatchQueue("test.late"));
  failing->failing(pool);
  pool.reset();  // a failure after the pool went is dropped
  failing->complete(WTF("late", 5));
  drain(failing->queue());
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
    if (value < 0) return WTF("negative", value);
    saved.push_back(value);
    return {};
  });
  signal->update(-2);
  signal->update(3);
  ASSERT_TRUE(waitFor([&] { return ran.load() == 3 && pool->futureCount() == 0; }));
  drain(queue);
  EXPECT_EQ(saved, (std::vector<int>{1, 3}));
  EXPECT_EQ(pool->errorPool()->errors(), Errors{WTF("negative", -2)});

  pool.reset();  // values that come later are ignored
  signal->update(4);
  drain(signal->queue());
  drain(queue);
  EXPECT_EQ(ran.load(), 3);
}

// Tables, retained objects, the signal service and the error pool, used
// from eight threads at once, stay exact (and ThreadSanitizer stays quiet).
TEST(PoolStress, TablesAndErrorsStayExactUnderConcurrentUse) {
  const int perThread = test::scaled(4'000);
  auto pool = Pool::make(DispatchQueue::global());
  auto census = test::Census::make();
  std::atomic<int> heldCompleted{0};
  test::runConcurrently(8, [&](int t) {
    for (int i = 0; i < perThread; ++i) {
      // Even i held (half of them fail), odd i discarded at once.
      auto future = pool->future([i] { return i % 4 == 0 ? Result<int>(WTF("failed", i)) : i; });
      future->failing(pool).onComplete(
          [&heldCompleted, i](const Result<int>&) { heldCompleted += i % 2 == 0; });
      if (i % 2 == 1) pool->discard(future->id());
      if (i % 100 == 0) pool->retain(census->object());
      if (t == 0 && i % 50 == 0) pool->setSignals(SignalsService::make(DispatchQueue::global()));
    }
  });
  const int total = 8 * perThread;
  EXPECT_EQ(pool->futureCount(), static_cast<std::size_t>(total / 2));
  ASSERT_TRUE(waitFor([&] { return heldCompleted.load() == total / 2; }, 60));
  ASSERT_TRUE(waitFor(
      [&] { return pool->errorPool()->errorCount() == static_cast<std::size_t>(total / 4); }, 60));
  // A failure handler may hold the pool for a moment: it goes when that last
  // holder lets go, and takes what it retained with it.
  const std::weak_ptr<Pool> weak = pool;
  pool.reset();
  ASSERT_TRUE(waitFor([&] { return weak.expired(); }));
  EXPECT_EQ(census->alive(), 0);
}

}  // namespace
}  // namespace mornik::Flow
