#include "mornik/flow/future/Combine.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "mornik/base/Error.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/flow/future/Future.hpp"
#include "mornik/flow/pool/Pool.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/QueueGate.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik::Flow {
namespace {

using test::drain;
using test::waitFor;

using Triple = std::tuple<int, int, int>;
using Sources = std::array<std::shared_ptr<Future<int>>, 3>;

Sources promises() {
  return {Future<int>::promise(), Future<int>::promise(), Future<int>::promise()};
}

// Waits until `future` has completed, pumping the main run loop.
template <class T>
bool completes(const std::shared_ptr<Future<T>>& future) {
  return waitFor([&] { return future->maybeFailure().has_value() || future->maybeSuccess(); });
}

TEST(FCombine, TuplesKeepSourceOrderAndWaitForTheLastValueWhateverTheCompletionOrder) {
  std::array<std::size_t, 3> order{0, 1, 2};
  do {
    SCOPED_TRACE(testing::Message() << order[0] << order[1] << order[2]);
    const Sources sources = promises();
    auto combiner = FCombine3<int, int, int>::make(sources[0], sources[1], sources[2]);
    EXPECT_EQ(combiner->queue().label(), "Combine3.Serial");
    std::atomic<int> completions{0};
    combiner->final()->onComplete([&](const Result<Triple>& /*unused*/) { ++completions; });
    for (std::size_t i : {order[0], order[1]}) sources[i]->complete(static_cast<int>(10 * i + 10));
    drain(combiner->queue());  // both values handled: still no tuple
    EXPECT_FALSE(combiner->final()->maybeSuccess().has_value());
    sources[order[2]]->complete(static_cast<int>(10 * order[2] + 10));
    ASSERT_TRUE(completes(combiner->final()));
    EXPECT_EQ(combiner->final()->maybeSuccess(), Triple(10, 20, 30));
    EXPECT_TRUE(waitFor([&] { return completions.load() == 1; }));
  } while (std::next_permutation(order.begin(), order.end()));
}

TEST(FCombine, TheFirstFailureHandledDecidesAndLaterOutcomesChangeNothing) {
  // The handlers of one combiner reach its one serial queue as the sources
  // complete, so the failure completed first is handled first.
  const Sources sources = promises();
  auto combiner = FCombine3<int, int, int>::make(sources[0], sources[1], sources[2]);
  std::atomic<int> completions{0};
  combiner->final()->onComplete([&](const Result<Triple>& /*unused*/) { ++completions; });
  sources[0]->complete(1);
  sources[2]->complete(WTF("third failed", 3));
  sources[1]->complete(WTF("second failed", 2));
  ASSERT_TRUE(completes(combiner->final()));
  drain(combiner->queue());
  EXPECT_EQ(combiner->final()->maybeFailure(), WTF("third failed", 3));
  EXPECT_TRUE(waitFor([&] { return completions.load() == 1; }));
}

// An int whose copies take a while: handlers that store and read such
// values on a concurrent queue overlap for sure. The wait only widens the
// race window; nothing is ordered by it.
struct SlowCopy {
  int value = 0;
  explicit SlowCopy(int v) : value(v) {}
  SlowCopy(const SlowCopy& other) : value(other.value) { spin(); }
  SlowCopy& operator=(const SlowCopy& other) {
    value = other.value;
    spin();
    return *this;
  }
  friend bool operator==(const SlowCopy&, const SlowCopy&) = default;
  static void spin() {
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(200);
    while (std::chrono::steady_clock::now() < until) {
    }
  }
};

TEST(FCombine, OutcomesRacingOnAConcurrentQueueCompleteTheTupleExactlyOnce) {
  // On a caller's concurrent queue the handlers run at the same time: every
  // round must still end with the right outcome (a lost store leaves it
  // pending), and ThreadSanitizer sees the stored values race unless they
  // are guarded.
  using Slow = std::shared_ptr<Future<SlowCopy>>;
  const int rounds = test::scaled(200);
  for (int round = 0; round < rounds; ++round) {
    const std::array<Slow, 3> sources{Future<SlowCopy>::promise(), Future<SlowCopy>::promise(),
                                      Future<SlowCopy>::promise()};
    auto combiner = FCombine3<SlowCopy, SlowCopy, SlowCopy>::make(
        sources[0], sources[1], sources[2], DispatchQueue::global());
    const bool withFailure = round % 4 == 3;
    test::runConcurrently(3, [&](int t) {
      if (withFailure && t == 1) {
        sources[1]->complete(WTF("middle failed", round));
      } else {
        sources[static_cast<std::size_t>(t)]->complete(SlowCopy(t + round));
      }
    });
    ASSERT_TRUE(completes(combiner->final())) << "round " << round;
    if (withFailure) {
      EXPECT_EQ(combiner->final()->maybeFailure(), WTF("middle failed", round));
    } else {
      EXPECT_EQ(combiner->final()->maybeSuccess(),
                std::make_tuple(SlowCopy(round), SlowCopy(round + 1), SlowCopy(round + 2)));
    }
  }
}

TEST(FCombine, ACombinerNobodyKeepsDecidesNothing) {
  DispatchQueue queue("test.combine.handlers");
  const Sources sources = promises();
  const auto final = FCombine3<int, int, int>::make(sources[0], sources[1], sources[2], queue)
                         ->final();  // the handlers hold the combiner weakly: it is gone
  for (int i = 0; i < 3; ++i) sources[static_cast<std::size_t>(i)]->complete(i);
  drain(queue);
  EXPECT_FALSE(final->maybeSuccess().has_value() || final->maybeFailure().has_value());
}

TEST(PoolCombine, ThePoolKeepsTheCombinerAliveButNotItsSources) {
  auto pool = Pool::make(DispatchQueue("test.combine.pool"));
  auto number = pool->future([]() -> Result<int> { return 6; });
  auto word = Future<std::string>::promise();
  std::weak_ptr<Future<std::tuple<int, std::string>>> weakFinal = pool->combine(number, word);
  ASSERT_FALSE(weakFinal.expired());   // held by the combiner, which the pool holds
  word->complete(std::string("six"));  // the pool future started when registered on
  ASSERT_TRUE(waitFor([&] {
    const auto final = weakFinal.lock();
    return final && final->maybeSuccess().has_value();
  }));
  EXPECT_EQ(weakFinal.lock()->maybeSuccess(), std::make_tuple(6, std::string("six")));

  auto failing = pool->future([]() -> Result<double> { return WTF("no luck", 4); });
  auto joined = pool->combine(number, word, failing);
  ASSERT_TRUE(completes(joined));
  EXPECT_EQ(joined->maybeFailure(), WTF("no luck", 4));

  std::weak_ptr<Future<std::string>> weakWord = word;
  word.reset();
  EXPECT_TRUE(weakWord.expired());  // the combiners do not hold their sources
  // The handlers that the pool's own futures still own do not hold the
  // combiner either (a delivery may hold it for a moment).
  pool.reset();
  EXPECT_TRUE(waitFor([&] { return weakFinal.expired(); }));
}

}  // namespace
}  // namespace mornik::Flow
