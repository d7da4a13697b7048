#include "mornik/flow/pool/ErrorPool.hpp"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/QueueGate.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik {
namespace {

using test::drain;
using test::waitFor;
using Errors = std::vector<Error>;

TEST(ErrorPool, KeepsEveryErrorAndPublishesTheLatestOnTheMainQueueUntilCleared) {
  auto pool = ErrorPool::make();
  Errors seen;  // main queue only
  bool onMain = true;
  pool->recentError()->onUpdate([&](const Error& error) {
    onMain = onMain && DispatchQueue::current() == DispatchQueue::main();
    seen.push_back(error);
  });
  pool->append(WTF("e1", 1));
  pool->append(WTF("e2", 2));
  EXPECT_EQ(pool->errors(), (Errors{WTF("e1", 1), WTF("e2", 2)}));
  EXPECT_EQ(pool->recentError()->currentValue(), WTF("e2", 2));
  drain(DispatchQueue::main());
  EXPECT_EQ(seen, pool->errors());
  EXPECT_TRUE(onMain);

  // clearRecent empties the buffer only: no handler runs, the list stays,
  // and a late subscriber gets nothing until the next error.
  pool->clearRecent();
  EXPECT_EQ(pool->recentError()->currentValue(), std::nullopt);
  Errors late;  // main queue only
  pool->recentError()->onUpdate([&](const Error& error) { late.push_back(error); });
  drain(DispatchQueue::main());
  EXPECT_EQ(seen.size(), 2U);
  EXPECT_TRUE(late.empty());
  pool->append(WTF("e3", 3));
  drain(DispatchQueue::main());
  EXPECT_EQ(late, Errors{WTF("e3", 3)});
  EXPECT_EQ(pool->errorCount(), 3U);
}

TEST(ErrorPool, ForwardingReplaysTheRecentErrorThenFollowsWhileTheTargetLives) {
  auto source = ErrorPool::make();
  auto target = ErrorPool::make();
  const std::weak_ptr<ErrorPool> targetRef = target;
  source->append(WTF("e0", 0));
  source->forwardErrors(target);
  drain(DispatchQueue::main());
  EXPECT_EQ(target->errors(), Errors{WTF("e0", 0)});
  source->append(WTF("e1", 1));
  drain(DispatchQueue::main());
  EXPECT_EQ(target->errors(), (Errors{WTF("e0", 0), WTF("e1", 1)}));
  target.reset();
  EXPECT_TRUE(targetRef.expired());  // forwarding does not keep the target
  source->append(WTF("e2", 2));
  drain(DispatchQueue::main());
  EXPECT_EQ(source->errorCount(), 3U);
}

TEST(ErrorPoolStress, ConcurrentAppendsLoseNothingAndReachEveryHandlerOnce) {
  constexpr int kThreads = 8;
  const int kPerThread = test::scaled(10'000);
  auto pool = ErrorPool::make();
  auto forwarded = ErrorPool::make();
  pool->forwardErrors(forwarded);
  std::atomic<long> delivered{0};
  std::atomic<long> codeSum{0};
  pool->recentError()->onUpdate(DispatchQueue::global(), [&](const Error& error) {
    delivered.fetch_add(1);
    codeSum.fetch_add(error.code());
  });
  test::runConcurrently(kThreads, [&](int t) {
    for (int i = 0; i < kPerThread; ++i) pool->append(WTF("e", t * kPerThread + i));
  });
  const long total = long{kThreads} * kPerThread;
  EXPECT_EQ(pool->errorCount(), static_cast<std::size_t>(total));
  ASSERT_TRUE(waitFor([&] { return delivered.load() == total; }, 60));
  ASSERT_TRUE(waitFor([&] { return forwarded->errorCount() == std::size_t(total); }, 60));
  EXPECT_EQ(codeSum.load(), total * (total - 1) / 2);  // every code once
  std::vector<long> last(kThreads, -1);                // each thread's errors stay in its order
  for (const Error& error : pool->errors()) {
    const auto thread = static_cast<std::size_t>(error.code() / kPerThread);
    EXPECT_GT(error.code(), last[thread]);
    last[thread] = error.code();
  }
}

}  // namespace
}  // namespace mornik
