#include "mornik/flow/Combine.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/flow/Error.hpp"
#include "mornik/flow/Future.hpp"
#include "mornik/flow/Pool.hpp"
#include "mornik/flow/Result.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/QueueGate.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik::Flow {
namespace {

using test::drain;
using test::waitFor;

using Promise = std::shared_ptr<Future<int>>;
using Triple = std::tuple<int, int, int>;

// Waits until `future` has completed, without blocking the main run loop.
template <class T>
bool completes(const std::shared_ptr<Future<T>>& future) {
  return waitFor([&] { return future->maybeFailure().has_value() || future->maybeSuccess(); });
}

TEST(FCombine, TuplesKeepSourceOrderAndWaitForTheLastValueWhateverTheCompletionOrder) {
  std::array<int, 3> order{0, 1, 2};
  do {
    SCOPED_TRACE(testing::Message() << order[0] << order[1] << order[2]);
    const std::array<Promise, 3> sources{Future<int>::promise(), Future<int>::promise(),
                                         Future<int>::promise()};
    auto combiner = FCombine3<int, int, int>::make(sources[0], sources[1], sources[2]);
    EXPECT_EQ(combiner->queue().label(), "Combine3.Serial");
    std::atomic<int> completions{0};
    combiner->final()->onComplete([&](const Result<Triple>& /*unused*/) { ++completions; });

    sources[order[0]]->complete(10 * (order[0] + 1));
    sources[order[1]]->complete(10 * (order[1] + 1));
    drain(combiner->queue());  // both values handled: still no tuple
    EXPECT_FALSE(combiner->final()->maybeSuccess().has_value());

    sources[order[2]]->complete(10 * (order[2] + 1));
    ASSERT_TRUE(completes(combiner->final()));
    EXPECT_EQ(combiner->final()->maybeSuccess(), Triple(10, 20, 30));
    EXPECT_TRUE(waitFor([&] { return completions.load() == 1; }));
  } while (std::next_permutation(order.begin(), order.end()));
}

TEST(FCombine, TheFirstFailureHandledDecidesAndLaterOutcomesChangeNothing) {
  // Every handler of one combiner goes to its one serial queue as the
  // sources complete, so the failure completed first is handled first.
  const std::array<Promise, 3> sources{Future<int>::promise(), Future<int>::promise(),
                                       Future<int>::promise()};
  auto combiner = FCombine3<int, int, int>::make(sources[0], sources[1], sources[2]);
  std::atomic<int> completions{0};
  combiner->final()->onComplete([&](const Result<Triple>& /*unused*/) { ++completions; });
  sources[0]->complete(1);
  sources[2]->complete(WTF("third failed", 3));
  sources[1]->complete(WTF("second failed", 2));
  ASSERT_TRUE(completes(combiner->final()));
  drain(combiner->queue());
  EXPECT_EQ(combiner->final()->maybeFailure(), WTF("third failed", 3));
  EXPECT_FALSE(combiner->final()->maybeSuccess().has_value());
  EXPECT_TRUE(waitFor([&] { return completions.load() == 1; }));

  // A failure after two successes still decides; the last success cannot
  // turn it into a tuple.
  const std::array<Promise, 3> more{Future<int>::promise(), Future<int>::promise(),
                                    Future<int>::promise()};
  auto late = FCombine3<int, int, int>::make(more[0], more[1], more[2]);
  more[0]->complete(1);
  more[1]->complete(2);
  more[2]->complete(WTF("last failed", 9));
  ASSERT_TRUE(completes(late->final()));
  EXPECT_EQ(late->final()->maybeFailure(), WTF("last failed", 9));
}

TEST(FCombine, OutcomesRacingOnAConcurrentQueueCompleteTheTupleExactlyOnce) {
  // Handlers on a caller's concurrent queue run at the same time: a lost
  // store would leave the tuple pending for ever, and a torn one would show
  // up under ThreadSanitizer.
  const int rounds = test::scaled(200);
  for (int round = 0; round < rounds; ++round) {
    const std::array<Promise, 3> sources{Future<int>::promise(), Future<int>::promise(),
                                         Future<int>::promise()};
    auto combiner =
        FCombine3<int, int, int>::make(sources[0], sources[1], sources[2], DispatchQueue::global());
    const auto final = combiner->final();
    std::atomic<int> completions{0};
    final->onComplete(DispatchQueue::global(),
                      [&completions](const Result<Triple>& /*unused*/) { ++completions; });
    const bool withFailure = round % 4 == 3;  // then the middle source fails
    test::runConcurrently(3, [&](int t) {
      if (withFailure && t == 1) {
        sources[1]->complete(WTF("middle failed", round));
      } else {
        sources[static_cast<std::size_t>(t)]->complete(t + round);
      }
    });
    ASSERT_TRUE(completes(final)) << "round " << round;
    if (withFailure) {
      EXPECT_EQ(final->maybeFailure(), WTF("middle failed", round));
    } else {
      EXPECT_EQ(final->maybeSuccess(), Triple(round, round + 1, round + 2));
    }
    ASSERT_TRUE(waitFor([&] { return completions.load() == 1; }));
  }
}

TEST(FCombine, ACombinerNobodyKeepsStopsReceivingOutcomes) {
  // The handlers hold the combiner weakly: once it is gone, the sources'
  // outcomes reach nothing and the joined future stays pending.
  DispatchQueue queue("test.combine.handlers");
  auto first = Future<int>::promise();
  auto second = Future<int>::promise();
  std::shared_ptr<Future<std::tuple<int, int>>> final;
  std::weak_ptr<FCombine2<int, int>> weakCombiner;
  {
    auto combiner = FCombine2<int, int>::make(first, second, queue);
    final = combiner->final();
    weakCombiner = combiner;
  }
  EXPECT_TRUE(weakCombiner.expired());
  first->complete(1);
  second->complete(2);
  drain(queue);
  EXPECT_FALSE(final->maybeSuccess().has_value());
  EXPECT_FALSE(final->maybeFailure().has_value());
}

// ---- Through a pool ----

TEST(PoolCombine, StartsLazyPoolFuturesAndJoinsTheirValuesOfDifferentTypes) {
  auto pool = Pool::make(DispatchQueue("test.combine.pool"));
  auto number = pool->future([]() -> Result<int> { return 6; });
  auto word = pool->future([]() -> Result<std::string> { return std::string("six"); });
  auto final = pool->combine(number, word);
  ASSERT_TRUE(completes(final));  // registering on the sources started them
  EXPECT_EQ(final->maybeSuccess(), std::make_tuple(6, std::string("six")));

  auto failing = pool->future([]() -> Result<double> { return WTF("no luck", 4); });
  auto joined = pool->combine(number, word, failing);
  ASSERT_TRUE(completes(joined));
  EXPECT_EQ(joined->maybeFailure(), WTF("no luck", 4));
}

TEST(PoolCombine, ThePoolKeepsTheCombinerAliveButNotItsSources) {
  auto pool = Pool::make(DispatchQueue("test.combine.pool"));
  auto first = Future<int>::promise();
  auto second = Future<int>::promise();
  std::weak_ptr<Future<std::tuple<int, int>>> weakFinal = pool->combine(first, second);
  // Only the combiner, which only the pool holds, keeps the joined future.
  ASSERT_FALSE(weakFinal.expired());

  first->complete(1);
  second->complete(2);
  ASSERT_TRUE(waitFor([&] {
    const auto final = weakFinal.lock();
    return final && final->maybeSuccess().has_value();
  }));
  EXPECT_EQ(weakFinal.lock()->maybeSuccess(), std::make_tuple(1, 2));

  // The combiner does not hold its sources...
  std::weak_ptr<Future<int>> weakFirst = first;
  first.reset();
  EXPECT_TRUE(weakFirst.expired());
  // ...and the handlers a live source still owns do not hold the combiner
  // (a delivery that has just completed the joined future may still hold it
  // for a moment).
  pool.reset();
  EXPECT_TRUE(waitFor([&] { return weakFinal.expired(); }));
}

}  // namespace
}  // namespace mornik::Flow
