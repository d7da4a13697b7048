#include "mornik/flow/future/Combine.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "mornik/base/Error.hpp"
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

template <class T>
bool completes(const std::shared_ptr<Future<T>>& future) {
  return waitFor([&] { return future->maybeFailure().has_value() || future->maybeSuccess(); });
}

TEST(FCombine, TuplesKeepSourceOrderAndTheFirstFailureHandledDecides) {
  std::array<std::size_t, 3> order{0, 1, 2};
  do {
    SCOPED_TRACE(testing::Message() << order[0] << order[1] << order[2]);
    const std::array sources{Future<int>::promise(), Future<int>::promise(),
                             Future<int>::promise()};
    auto combiner = FCombine3<int, int, int>::make(sources[0], sources[1], sources[2]);
    EXPECT_EQ(combiner->queue().label(), "Combine3.Serial");
    for (std::size_t i : {order[0], order[1]}) sources[i]->complete(static_cast<int>(10 * i + 10));
    drain(combiner->queue());  // two values handled: still no tuple
    EXPECT_FALSE(combiner->final()->maybeSuccess().has_value());
    sources[order[2]]->complete(static_cast<int>(10 * order[2] + 10));
    ASSERT_TRUE(completes(combiner->final()));
    EXPECT_EQ(combiner->final()->maybeSuccess(), Triple(10, 20, 30));
  } while (std::next_permutation(order.begin(), order.end()));

  // The handlers of one combiner reach its serial queue as the sources
  // complete, so the failure completed first is handled first.
  const std::array sources{Future<int>::promise(), Future<int>::promise(), Future<int>::promise()};
  auto combiner = FCombine3<int, int, int>::make(sources[0], sources[1], sources[2]);
  sources[0]->complete(1);
  sources[2]->complete(WTF("third failed", 3));
  sources[1]->complete(WTF("second failed", 2));
  ASSERT_TRUE(completes(combiner->final()));
  drain(combiner->queue());
  EXPECT_EQ(combiner->final()->maybeFailure(), WTF("third failed", 3));
}

// An int whose copies take a while, so that handlers storing such values on
// a concurrent queue overlap for sure (the wait only widens the window).
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
  // Every round must end with the right outcome (a lost store leaves it
  // pending), and ThreadSanitizer sees unguarded stores race.
  using Slow = std::shared_ptr<Future<SlowCopy>>;
  for (int round = 0; round < test::scaled(100); ++round) {
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
  auto joined = pool->combine(number, word,
                              pool->future([]() -> Result<double> { return WTF("no luck", 4); }));
  ASSERT_TRUE(completes(joined));
  EXPECT_EQ(joined->maybeFailure(), WTF("no luck", 4));

  const std::weak_ptr<Future<std::string>> weakWord = word;
  word.reset();
  EXPECT_TRUE(weakWord.expired());  // the combiners do not hold their sources
  // Nor do the handlers that the pool's own futures still own (a delivery
  // may hold a combiner for a moment); a combiner nobody keeps decides
  // nothing.
  pool.reset();
  EXPECT_TRUE(waitFor([&] { return weakFinal.expired(); }));
  const std::array sources{Future<int>::promise(), Future<int>::promise(), Future<int>::promise()};
  const DispatchQueue queue("test.combine.handlers");
  const auto final =
      FCombine3<int, int, int>::make(sources[0], sources[1], sources[2], queue)->final();
  for (int i = 0; i < 3; ++i) sources[static_cast<std::size_t>(i)]->complete(i);
  drain(queue);
  EXPECT_FALSE(final->maybeSuccess().has_value() || final->maybeFailure().has_value());
}

}  // namespace
}  // namespace mornik::Flow
