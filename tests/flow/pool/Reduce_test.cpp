#include "mornik/flow/pool/Reduce.hpp"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/Recorder.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik::Flow {
namespace {

TEST(Reduce, PublishesEachFoldAndCompletesOnceWithTheAccumulatorOfTheFirstComplete) {
  auto lines =
      Reduce<std::string, std::string>::make(">", [](std::string text, const std::string& line) {
        if (line.empty()) throw std::invalid_argument("empty line");
        return text + line;
      });
  test::Recorder<std::string> recorder;
  recorder.on(*lines->accumulator().signal());
  lines->update("a");
  lines->complete();
  EXPECT_THROW(lines->update(""), std::invalid_argument);  // leaves the accumulator
  lines->update("b");  // the lock was released; updates go on after complete()
  lines->complete();   // ignored
  EXPECT_EQ(lines->completed()->wait().maybeSuccess(), ">a");
  EXPECT_EQ(recorder.values(), (std::vector<std::string>{">", ">a", ">ab"}));

  auto untouched = Reduce<int, int>::make(7, [](int sum, int n) { return sum + n; });
  untouched->complete();
  EXPECT_EQ(untouched->completed()->wait().maybeSuccess(), 7);
}

// Two threads fold at once (as a process's output and error streams do):
// nothing is lost, and a serial queue sees the sums in fold order.
TEST(Reduce, ConcurrentUpdatesLoseNothingAndPublishInFoldOrder) {
  const int perThread = test::scaled(10'000);
  auto sum =
      Reduce<std::int64_t, int>::make(0, [](std::int64_t total, int n) { return total + n; });
  test::Recorder<std::int64_t> recorder;
  recorder.on(*sum->accumulator().signal());
  test::runConcurrently(2, [&](int /*thread*/) {
    for (int i = 1; i <= perThread; ++i) sum->update(i);
  });
  const std::int64_t expected = std::int64_t{perThread} * (perThread + 1);
  EXPECT_EQ(sum->accumulator().get(), expected);
  const std::vector<std::int64_t> seen = recorder.values();
  ASSERT_EQ(seen.size(), 2U * perThread + 1);
  for (std::size_t i = 1; i < seen.size(); ++i) ASSERT_LT(seen[i - 1], seen[i]);
}

}  // namespace
}  // namespace mornik::Flow
