#include "mornik/flow/pool/ErrorPool.hpp"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/text/StringUtils.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/QueueGate.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik {
namespace {

using test::drain;
using test::waitFor;

std::vector<std::string> descriptions(const std::vector<Error>& errors) {
  std::vector<std::string> texts;
  for (const Error& error : errors) texts.push_back(error.localizedDescription());
  return texts;
}

// ---- ErrorPool ----

TEST(ErrorPool, KeepsEveryErrorAndPublishesTheLatestOnTheMainQueue) {
  auto pool = ErrorPool::make();
  std::vector<std::string> seen;  // main queue only
  bool onMain = true;
  pool->recentError()->onUpdate([&](const Error& error) {
    onMain = onMain && DispatchQueue::current() == DispatchQueue::main();
    seen.push_back(error.localizedDescription());
  });
  pool->append(WTF("e1", 1));
  pool->append(WTF("e2", 2));
  EXPECT_EQ(descriptions(pool->errors()), (std::vector<std::string>{"e1", "e2"}));
  EXPECT_EQ(pool->recentError()->currentValue()->localizedDescription(), "e2");
  drain(DispatchQueue::main());
  EXPECT_EQ(seen, (std::vector<std::string>{"e1", "e2"}));
  EXPECT_TRUE(onMain);

  // clearRecent empties the buffer only: no handler runs, the list stays.
  pool->clearRecent();
  EXPECT_EQ(pool->recentError()->currentValue(), std::nullopt);
  std::vector<std::string> late;  // main queue only
  pool->recentError()->onUpdate(
      [&](const Error& error) { late.push_back(error.localizedDescription()); });
  drain(DispatchQueue::main());
  EXPECT_EQ(seen.size(), 2U);
  EXPECT_TRUE(late.empty());
  EXPECT_EQ(pool->errorCount(), 2U);
  pool->append(WTF("e3", 3));
  drain(DispatchQueue::main());
  EXPECT_EQ(late, std::vector<std::string>{"e3"});
}

TEST(ErrorPool, ForwardingReplaysTheRecentErrorThenFollowsWhileTheTargetLives) {
  auto source = ErrorPool::make();
  auto target = ErrorPool::make();
  std::weak_ptr<ErrorPool> targetRef = target;
  source->append(WTF("e0", 0));
  source->forwardErrors(target);
  drain(DispatchQueue::main());
  EXPECT_EQ(descriptions(target->errors()), std::vector<std::string>{"e0"});
  source->append(WTF("e1", 1));
  drain(DispatchQueue::main());
  EXPECT_EQ(descriptions(target->errors()), (std::vector<std::string>{"e0", "e1"}));
  EXPECT_EQ(target->recentError()->currentValue()->localizedDescription(), "e1");

  target.reset();
  EXPECT_TRUE(targetRef.expired());  // forwarding does not keep the target
  source->append(WTF("e2", 2));
  drain(DispatchQueue::main());
  EXPECT_EQ(source->errorCount(), 3U);
}

// ---- Many threads ----

TEST(ErrorPoolStress, ConcurrentAppendsLoseNothingAndReachEveryHandlerOnce) {
  constexpr int kThreads = 8;
  const int kPerThread = test::scaled(20'000);
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
  ASSERT_TRUE(
      waitFor([&] { return forwarded->errorCount() == static_cast<std::size_t>(total); }, 60));
  EXPECT_EQ(codeSum.load(), total * (total - 1) / 2);  // every code once
  // Each thread's errors stay in its own order in the list.
  std::vector<long> last(kThreads, -1);
  for (const Error& error : pool->errors()) {
    const long code = error.code();
    const int thread = static_cast<int>(code / kPerThread);
    EXPECT_GT(code, last[thread]);
    last[thread] = code;
  }
}

}  // namespace
}  // namespace mornik
