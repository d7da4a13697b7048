#include "mornik/flow/Reduce.hpp"

#include <atomic>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/QoS.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/QueueGate.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik::Flow {
namespace {

using test::drain;
using test::waitFor;

using Lines = Reduce<std::string, std::string>;

Lines::Pointer makeLines() {
  return Lines::make(">", [](std::string text, const std::string& line) {
    text += line;
    return text;
  });
}

TEST(Reduce, PublishesTheInitialAccumulatorThenOneValuePerUpdateInOrder) {
  auto lines = makeLines();
  EXPECT_EQ(lines->accumulator().get(), ">");
  EXPECT_EQ(lines->accumulator().signal()->queue(), DispatchQueue::global(QoS::userInteractive));
  DispatchQueue queue("test.reduce");
  std::vector<std::string> seen;  // queue only
  lines->accumulator().signal()->onUpdate(queue, [&](const std::string& v) { seen.push_back(v); });
  lines->update("a");
  lines->update("b");
  EXPECT_EQ(lines->accumulator().get(), ">ab");
  drain(queue);
  EXPECT_EQ(seen, (std::vector<std::string>{">", ">a", ">ab"}));
}

TEST(Reduce, CompleteKeepsTheFirstAccumulatorWhileUpdatesGoOn) {
  auto untouched = makeLines();
  untouched->complete();
  EXPECT_EQ(untouched->completed()->maybeSuccess(), ">");

  auto lines = makeLines();
  EXPECT_EQ(lines->completed()->maybeSuccess(), std::nullopt);
  lines->update("a");
  lines->complete();
  lines->update("b");
  lines->complete();  // ignored
  EXPECT_EQ(lines->accumulator().get(), ">ab");
  std::string delivered;
  lines->completed()->onSuccess(DispatchQueue::main(),
                                [&](const std::string& v) { delivered = v; });
  ASSERT_TRUE(waitFor([&] { return !delivered.empty(); }));
  EXPECT_EQ(delivered, ">a");
}

TEST(Reduce, AClearedSignalBufferRestartsTheFoldFromTheInitialAccumulator) {
  auto lines = makeLines();
  lines->update("a");
  lines->accumulator().signal()->clearBuffer();
  EXPECT_EQ(lines->accumulator().get(), ">");
  lines->update("b");
  EXPECT_EQ(lines->accumulator().get(), ">b");
}

TEST(Reduce, AThrowingBlockLeavesTheAccumulatorAndLeavesTheObjectUsable) {
  auto strict = Reduce<int, int>::make(0, [](int sum, int n) {
    if (n < 0) throw std::invalid_argument("negative");
    return sum + n;
  });
  strict->update(2);
  EXPECT_THROW(strict->update(-1), std::invalid_argument);
  strict->update(3);  // the lock was released
  EXPECT_EQ(strict->accumulator().get(), 5);
}

// Two threads fold at once (as a process's output and error streams do):
// no element is lost, and a subscriber on a serial queue sees the published
// accumulators in fold order, each one larger than the one before.
TEST(Reduce, ConcurrentUpdatesFromTwoThreadsLoseNothingAndPublishInFoldOrder) {
  const int perThread = test::scaled(20'000);
  auto sum =
      Reduce<std::int64_t, int>::make(0, [](std::int64_t total, int n) { return total + n; });
  DispatchQueue queue("test.reduce.order");
  std::atomic<bool> ordered{true};
  std::atomic<std::int64_t> last{-1};
  std::atomic<int> seen{0};
  sum->accumulator().signal()->onUpdate(queue, [&](std::int64_t value) {
    if (value <= last.load(std::memory_order_relaxed)) ordered.store(false);
    last.store(value, std::memory_order_relaxed);
    seen.fetch_add(1, std::memory_order_relaxed);
  });
  test::runConcurrently(2, [&](int /*thread*/) {
    for (int i = 1; i <= perThread; ++i) sum->update(i);
  });
  const std::int64_t expected = 2 * static_cast<std::int64_t>(perThread) * (perThread + 1) / 2;
  EXPECT_EQ(sum->accumulator().get(), expected);
  ASSERT_TRUE(waitFor([&] { return seen.load() == 2 * perThread + 1; }));
  EXPECT_TRUE(ordered.load());
  EXPECT_EQ(last.load(), expected);
}

}  // namespace
}  // namespace mornik::Flow
