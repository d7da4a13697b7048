#include "mornik/flow/Combine.hpp"

#include <memory>
#include <optional>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/flow/Error.hpp"
#include "mornik/flow/Future.hpp"
#include "mornik/flow/Result.hpp"

#include "tests/support/QueueGate.hpp"
#include "tests/support/RunLoopWait.hpp"

namespace mornik::Flow {
namespace {

using test::drain;
using test::waitFor;

// The outcome of `future`, once its handler ran on the main queue.
template <class T>
std::optional<Result<T>> outcomeOf(const std::shared_ptr<Future<T>>& future) {
  std::optional<Result<T>> outcome;
  future->onComplete(DispatchQueue::main(), [&](const Result<T>& result) { outcome = result; });
  if (!waitFor([&] { return outcome.has_value(); })) return std::nullopt;
  return outcome;
}

TEST(FCombine, SucceedsWithTheValuesInSourceOrderWhateverOrderTheyComplete) {
  auto first = Future<int>::promise();
  auto second = Future<std::string>::promise();
  auto combiner = FCombine2<int, std::string>::make(first, second);
  EXPECT_EQ(combiner->queue().label(), "Combine2.Serial");
  second->complete(std::string("two"));
  drain(combiner->queue());
  EXPECT_EQ(combiner->final()->maybeSuccess(), std::nullopt);
  first->complete(1);
  const auto outcome = outcomeOf(combiner->final());
  ASSERT_TRUE(outcome.has_value());
  EXPECT_EQ(outcome->maybeSuccess(), std::make_tuple(1, std::string("two")));
}

TEST(FCombine, StartsLazySourcesAndJoinsThreeOnAGivenQueue) {
  DispatchQueue queue("test.combine");
  auto a = Future<int>::make([]() -> Result<int> { return 1; });
  auto b = Future<double>::make([]() -> Result<double> { return 2.5; });
  auto c = Future<std::string>::make([]() -> Result<std::string> { return std::string("c"); });
  auto combiner = FCombine3<int, double, std::string>::make(a, b, c, queue);
  EXPECT_EQ(combiner->queue().label(), "Combine3.Serial");
  const auto outcome = outcomeOf(combiner->final());
  ASSERT_TRUE(outcome.has_value());
  EXPECT_EQ(outcome->maybeSuccess(), std::make_tuple(1, 2.5, std::string("c")));
}

TEST(FCombine, TheFirstFailureHandledDecidesAndLaterOutcomesChangeNothing) {
  {
    auto first = Future<int>::promise();
    auto second = Future<int>::promise();
    auto combiner = FCombine2<int, int>::make(first, second);
    first->complete(WTF("first broke", 1));
    second->complete(2);
    const auto outcome = outcomeOf(combiner->final());
    ASSERT_TRUE(outcome.has_value());
    ASSERT_TRUE(outcome->maybeFailure().has_value());
    EXPECT_EQ(outcome->maybeFailure()->localizedDescription(), "first broke");
  }
  {
    // Both fail: the one whose handler reached the serial queue first.
    auto first = Future<int>::promise();
    auto second = Future<int>::promise();
    auto combiner = FCombine2<int, int>::make(first, second);
    second->complete(WTF("second broke", 2));
    first->complete(WTF("first broke", 1));
    const auto outcome = outcomeOf(combiner->final());
    ASSERT_TRUE(outcome.has_value());
    ASSERT_TRUE(outcome->maybeFailure().has_value());
    EXPECT_EQ(outcome->maybeFailure()->localizedDescription(), "second broke");
  }
}

TEST(FCombine, StaysPendingWhileASourceNeverCompletesOrWhenNobodyKeepsTheCombiner) {
  auto done = Future<int>::promise();
  auto never = Future<int>::promise();
  auto combiner = FCombine2<int, int>::make(done, never);
  done->complete(1);
  drain(combiner->queue());
  EXPECT_EQ(combiner->final()->maybeSuccess(), std::nullopt);

  // The handlers hold the combiner weakly: released, it combines nothing.
  auto first = Future<int>::promise();
  auto second = Future<int>::promise();
  auto dropped = FCombine2<int, int>::make(first, second);
  const std::weak_ptr<FCombine2<int, int>> weak = dropped;
  const auto final = dropped->final();
  const DispatchQueue queue = dropped->queue();
  dropped.reset();
  EXPECT_TRUE(weak.expired());
  first->complete(1);
  second->complete(2);
  drain(queue);
  EXPECT_EQ(final->maybeSuccess(), std::nullopt);
}

}  // namespace
}  // namespace mornik::Flow
