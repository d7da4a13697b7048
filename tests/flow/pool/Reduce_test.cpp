#include "mornik/flow/pool/Reduce.hpp"

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/QueueGate.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik::Flow {
namespace {

TEST(Reduce, PublishesEachFoldAndCompletesOnceWithTheAccumulatorOfTheFirstComplete) {
  auto lines =
      Reduce<std::string, std::string>::make(">", [](std::string text, const std::string& line) {
        if (line.empty()) throw std::invalid_argument("empty line");
        return text + line;
      });
  DispatchQueue queue("test.reduce");
  std::vector<std::string> seen;  // queue only
  lines->accumulator().signal()->onUpdate(queue, [&](const std::string& v) { seen.push_back(v); });
  lines->update("a");
  lines->complete();
  EXPECT_THROW(lines->update(""), std::invalid_argument);  // leaves the accumulator
  lines->update("b");  // the lock was released; updates go on after complete()
  lines->complete();   // ignored
  EXPECT_EQ(lines->accumulator().get(), ">ab");
  EXPECT_EQ(lines->completed()->wait().maybeSuccess(), ">a");
  test::drain(queue);
  EXPECT_EQ(seen, (std::vector<std::string>{">", ">a", ">ab"}));

  auto untouched = Reduce<int, int>::make(7, [](int sum, int n) { return sum + n; });
  untouched->complete();
  EXPECT_EQ(untouched->completed()->wait().maybeSuccess(), 7);
}

// Two threads fold at once (as a process's output and error streams do):
// no element is lost, and a subscriber on a serial queue sees the published
// accumulators in fold order, each one larger than the one before.
TEST(Reduce, ConcurrentUpdatesFromTwoThreadsLoseNothingAndPublishInFoldOrder) {
  const int perThread = test::scaled(20'000);
  auto sum =
      Reduce<std::int64_t, int>::make(0, [](std::int64_t total, int n) { return total + n; });
  DispatchQueue queue("test.reduce.order");
  bool ordered = true;     // queue only
  std::int64_t last = -1;  // queue only
  sum->accumulator().signal()->onUpdate(queue, [&](std::int64_t value) {
    ordered = ordered && value > last;
    last = value;
  });
  test::runConcurrently(2, [&](int /*thread*/) {
    for (int i = 1; i <= perThread; ++i) sum->update(i);
  });
  const std::int64_t expected = static_cast<std::int64_t>(perThread) * (perThread + 1);
  EXPECT_EQ(sum->accumulator().get(), expected);
  test::drain(queue);
  EXPECT_TRUE(ordered);
  EXPECT_EQ(last, expected);
}

}  // namespace
}  // namespace mornik::Flow
