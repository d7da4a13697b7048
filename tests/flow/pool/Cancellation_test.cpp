#include <atomic>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/DispatchSemaphore.hpp"
#include "mornik/flow/core/CancellationToken.hpp"
#include "mornik/flow/pool/Pool.hpp"

#include "tests/support/QueueGate.hpp"
#include "tests/support/ResultMatchers.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik {
namespace {

using Flow::CancellationToken;
using Flow::Pool;

bool cancelled(const Result<int>& result) {
  return result.isFailure() && Flow::isCancelledError(result.error());
}

TEST(CancellableFuture, DiscardCancelsWorkNotStartedRunningOrFinishedAsItsStageAllows) {
  enum class Stage { queued, running, finished };
  struct Case {
    const char* name;
    Stage stage;
    bool failsCancelled;
    int runs;  // how often the work started
  };
  const Case cases[] = {{"queued", Stage::queued, true, 0},
                        {"running", Stage::running, true, 1},
                        {"finished", Stage::finished, false, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const DispatchQueue queue("cancel.stage");
    const auto pool = Pool::make(queue);
    auto runs = std::make_shared<std::atomic<int>>(0);
    auto entered = std::make_shared<DispatchSemaphore>(0);
    auto sawCancel = std::make_shared<std::atomic<bool>>(false);
    std::optional<test::QueueGate> gate;
    if (c.stage == Stage::queued) gate.emplace(queue);
    auto future = pool->cancellableFuture([=, stage = c.stage](const CancellationToken& token) {
      ++*runs;
      if (stage == Stage::running) {
        entered->signal();
        while (!token.isCancelled()) std::this_thread::yield();
        sawCancel->store(true);
      }
      return Result<int>(4);
    });
    int failures = 0;
    future->onFailure(DispatchQueue::main(), [&](const Error& /*unused*/) { ++failures; });
    if (c.stage == Stage::running) entered->wait();
    if (c.stage == Stage::finished) EXPECT_THAT(future->wait(), test::Succeeded(4));
    // Discarding twice: the second finds nothing to cancel.
    pool->discard(future->id());
    pool->discard(future->id());
    EXPECT_FALSE(pool->holds(future->id()));
    // The discard failed the future then and there.
    const std::optional<Error> failure = future->maybeFailure();
    EXPECT_EQ(failure && Flow::isCancelledError(*failure), c.failsCancelled);
    if (gate) gate->release();
    test::drain(queue);
    EXPECT_EQ(cancelled(future->wait()), c.failsCancelled);
    EXPECT_EQ(runs->load(), c.runs);
    if (c.stage == Stage::running) EXPECT_TRUE(sawCancel->load());
    ASSERT_TRUE(test::waitFor([&] { return failures == (c.failsCancelled ? 1 : 0); }));
    test::drain(DispatchQueue::main());
    EXPECT_EQ(failures, c.failsCancelled ? 1 : 0);
  }
}

TEST(CancellationToken, OnlyTheFirstCancelRunsTheAction) {
  const CancellationToken token;
  int actions = 0;
  token.onCancel([&] { ++actions; });
  EXPECT_FALSE(token.isCancelled());
  EXPECT_TRUE(token.cancel());
  EXPECT_FALSE(token.cancel());
  EXPECT_TRUE(CancellationToken(token).isCancelled());  // copies share the flag
  EXPECT_EQ(actions, 1);
}

TEST(CancellableFutureRace, ADiscardRacingTheWorksCompletionLeavesOneOutcomeDeliveredOnce) {
  // Each round releases the work's completion and a discard together; either
  // may win, but the future ends with exactly one result, delivered once.
  const int rounds = test::kUnderThreadSanitizer ? 50 : 200;
  const DispatchQueue queue("cancel.race");
  const auto pool = Pool::make(queue);
  int wonByCancel = 0;
  for (int round = 0; round < rounds; ++round) {
    std::atomic<bool> go{false};
    auto future = pool->cancellableFuture([&go](const CancellationToken& /*unused*/) {
      while (!go.load()) std::this_thread::yield();
      return Result<int>(9);
    });
    auto deliveries = std::make_shared<std::atomic<int>>(0);
    auto delivered = std::make_shared<DispatchSemaphore>(0);
    future->onComplete(queue, [deliveries, delivered](const Result<int>& /*unused*/) {
      deliveries->fetch_add(1);
      delivered->signal();
    });
    std::thread discarder([&] {
      while (!go.load()) std::this_thread::yield();
      pool->discard(future->id());
    });
    go.store(true);
    discarder.join();
    const Result<int> result = future->wait();
    ASSERT_TRUE(cancelled(result) || (result.isSuccess() && result.value() == 9));
    if (cancelled(result)) ++wonByCancel;
    delivered->wait();
    queue.sync([] {});  // a second delivery would have been queued by now
    ASSERT_EQ(deliveries->load(), 1);
  }
  RecordProperty("wonByCancel", wonByCancel);
}

// The completion stores its value and, before it walks the handlers, a
// discard comes in (forced by the future's seam): the value stays.
std::shared_ptr<Pool> gSeamPool;
std::atomic<const void*> gSeamFuture{nullptr};
Flow::FutureID gSeamId;

TEST(CancellableFutureRace, ADiscardBetweenTheStoreOfTheValueAndItsDeliveryChangesNothing) {
  const DispatchQueue queue("cancel.seam");
  gSeamPool = Pool::make(queue);
  auto future = gSeamPool->cancellableFuture(
      [](const CancellationToken& /*unused*/) { return Result<int>(6); });
  gSeamId = future->id();
  gSeamFuture.store(future.get());
  detail::futureSeam.store([](detail::FutureStep step, const void* subject) {
    if (step == detail::FutureStep::completionWalk && subject == gSeamFuture.load()) {
      gSeamFuture.store(nullptr);
      gSeamPool->discard(gSeamId);
    }
  });
  std::atomic<int> successes{0};
  std::atomic<int> failures{0};
  future->onSuccess(queue, [&](int /*unused*/) { ++successes; });
  future->onFailure(queue, [&](const Error& /*unused*/) { ++failures; });
  EXPECT_THAT(future->wait(), test::Succeeded(6));
  test::drain(queue);
  detail::futureSeam.store(nullptr);
  EXPECT_EQ(gSeamFuture.load(), nullptr);  // the seam ran
  EXPECT_FALSE(gSeamPool->holds(gSeamId));
  EXPECT_EQ(successes.load(), 1);
  EXPECT_EQ(failures.load(), 0);
  gSeamPool.reset();
}

}  // namespace
}  // namespace mornik
