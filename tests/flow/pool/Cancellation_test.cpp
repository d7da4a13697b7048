#include <atomic>
#include <memory>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/DispatchSemaphore.hpp"
#include "mornik/flow/core/CancellationToken.hpp"
#include "mornik/flow/pool/Pool.hpp"

#include "tests/support/QueueGate.hpp"

namespace mornik {
namespace {

using Flow::CancellationToken;

bool cancelled(const std::optional<Error>& failure) {
  return failure && Flow::isCancelledError(*failure);
}

TEST(CancellableFuture, DiscardFailsQueuedAndRunningWorkAtOnceAndLeavesFinishedWorkAlone) {
  enum class Stage { queued, running, finished };
  for (const Stage stage : {Stage::queued, Stage::running, Stage::finished}) {
    const DispatchQueue queue("cancel.stage");
    const auto pool = Flow::Pool::make(queue);
    auto runs = std::make_shared<std::atomic<int>>(0);
    auto entered = std::make_shared<DispatchSemaphore>(0);
    std::optional<test::QueueGate> gate;
    if (stage == Stage::queued) gate.emplace(queue);
    auto future = pool->cancellableFuture([=](const CancellationToken& token) {
      entered->signal();
      ++*runs;
      while (stage == Stage::running && !token.isCancelled()) std::this_thread::yield();
      return Result<int>(4);
    });
    future->onComplete([](const Result<int>&) {});  // starts the work
    if (stage != Stage::queued) entered->wait();
    if (stage == Stage::finished) (void)future->wait();
    pool->discard(future->id());
    pool->discard(future->id());  // twice: nothing more happens
    EXPECT_EQ(cancelled(future->maybeFailure()), stage != Stage::finished);
    if (gate) gate->release();
    test::drain(queue);
    EXPECT_EQ(runs->load(), stage == Stage::queued ? 0 : 1);
    EXPECT_EQ(cancelled(future->wait().maybeFailure()), stage != Stage::finished);
  }
}

// A discard between the completion's store of the value and its delivery
// (forced by the future's seam) changes nothing: one success, no failure.
std::shared_ptr<Flow::Pool> gPool;
std::atomic<const void*> gSeamFuture{nullptr};
Flow::FutureID gSeamId;

TEST(CancellableFutureRace, ADiscardBetweenTheStoreOfTheValueAndItsDeliveryChangesNothing) {
  const DispatchQueue queue("cancel.seam");
  gPool = Flow::Pool::make(queue);
  auto future = gPool->cancellableFuture([](const CancellationToken&) { return Result<int>(6); });
  gSeamId = future->id();
  gSeamFuture.store(future.get());
  detail::futureSeam.store([](detail::FutureStep step, const void* subject) {
    if (step == detail::FutureStep::completionWalk && subject == gSeamFuture.exchange(nullptr)) {
      std::thread([] { gPool->discard(gSeamId); }).join();
    }
  });
  std::atomic<int> successes{0};
  std::atomic<int> failures{0};
  future->onSuccess(queue, [&](int) { ++successes; }).onFailure(queue, [&](const Error&) {
    ++failures;
  });
  EXPECT_EQ(future->wait().maybeSuccess(), 6);
  test::drain(queue);
  detail::futureSeam.store(nullptr);
  EXPECT_FALSE(gPool->holds(gSeamId));  // the seam ran
  EXPECT_EQ(successes.load() * 10 + failures.load(), 10);
  gPool.reset();
}

}  // namespace
}  // namespace mornik
