#include "mornik/flow/future/Combine.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "mornik/flow/pool/Pool.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/QueueGate.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik::Flow {
namespace {

using test::drain;
using test::waitFor;

template <class T>
bool completes(const std::shared_ptr<Future<T>>& future) {
  return waitFor([&] { return future->maybeFailure().has_value() || future->maybeSuccess(); });
}

std::array<std::shared_ptr<Future<int>>, 3> promises() {
  return {Future<int>::promise(), Future<int>::promise(), Future<int>::promise()};
}

TEST(FCombine, TuplesKeepSourceOrderAndTheFirstFailureHandledDecides) {
  std::array<std::size_t, 3> order{0, 1, 2};
  do {
    const auto sources = promises();
    auto combiner = FCombine3<int, int, int>::make(sources[0], sources[1], sources[2]);
    for (std::size_t i : {order[0], order[1]}) sources[i]->complete(static_cast<int>(i));
    drain(combiner->queue());  // two values handled: still no tuple
    EXPECT_FALSE(combiner->final()->maybeSuccess().has_value());
    sources[order[2]]->complete(static_cast<int>(order[2]));
    ASSERT_TRUE(completes(combiner->final()));
    EXPECT_EQ(combiner->final()->maybeSuccess(), std::make_tuple(0, 1, 2));
  } while (std::next_permutation(order.begin(), order.end()));

  // On the combiner's serial queue the failure completed first decides.
  const auto sources = promises();
  auto combiner = FCombine3<int, int, int>::make(sources[0], sources[1], sources[2]);
  EXPECT_EQ(combiner->queue().label(), "Combine3.Serial");
  sources[2]->complete(WTF("third failed", 3));
  sources[1]->complete(WTF("second failed", 2));
  ASSERT_TRUE(completes(combiner->final()));
  EXPECT_EQ(combiner->final()->maybeFailure(), WTF("third failed", 3));
}

// Copies that take a while, so that handlers storing values on a concurrent
// queue overlap (the wait only widens the window; ThreadSanitizer sees
// unguarded stores race without it).
struct SlowCopy {
  int value = 0;
  explicit SlowCopy(int v) : value(v) {}
  SlowCopy(const SlowCopy& other) : value(other.value) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(200);
    while (std::chrono::steady_clock::now() < until) {
    }
  }
  SlowCopy& operator=(const SlowCopy&) = default;
  friend bool operator==(const SlowCopy&, const SlowCopy&) = default;
};

TEST(FCombine, OutcomesRacingOnAConcurrentQueueCompleteTheTupleExactlyOnce) {
  using Slow = std::shared_ptr<Future<SlowCopy>>;
  for (int round = 0; round < test::scaled(100); ++round) {
    const std::array<Slow, 3> sources{Future<SlowCopy>::promise(), Future<SlowCopy>::promise(),
                                      Future<SlowCopy>::promise()};
    auto combiner = FCombine3<SlowCopy, SlowCopy, SlowCopy>::make(
        sources[0], sources[1], sources[2], DispatchQueue::global());
    test::runConcurrently(
        3, [&](int t) { sources[static_cast<std::size_t>(t)]->complete(SlowCopy(t + round)); });
    ASSERT_TRUE(completes(combiner->final())) << "round " << round;  // a lost store hangs
    EXPECT_EQ(combiner->final()->maybeSuccess(),
              std::make_tuple(SlowCopy(round), SlowCopy(round + 1), SlowCopy(round + 2)));
  }
}

TEST(PoolCombine, ThePoolKeepsTheCombinerAliveButNotItsSources) {
  auto pool = Pool::make(DispatchQueue("test.combine.pool"));
  auto number = pool->future([]() -> Result<int> { return 6; });
  auto word = Future<std::string>::promise();
  std::weak_ptr<Future<std::tuple<int, std::string>>> weakFinal = pool->combine(number, word);
  word->complete(std::string("six"));
  ASSERT_TRUE(waitFor([&] { return weakFinal.lock()->maybeSuccess().has_value(); }));
  EXPECT_EQ(weakFinal.lock()->maybeSuccess(), std::make_tuple(6, std::string("six")));
  const std::weak_ptr<Future<std::string>> weakWord = word;
  word.reset();
  EXPECT_TRUE(weakWord.expired());
  pool.reset();
  EXPECT_TRUE(waitFor([&] { return weakFinal.expired(); }));

  // A combiner nobody keeps decides nothing.
  const auto sources = promises();
  const DispatchQueue queue("test.combine.handlers");
  const auto final =
      FCombine3<int, int, int>::make(sources[0], sources[1], sources[2], queue)->final();
  for (int i = 0; i < 3; ++i) sources[static_cast<std::size_t>(i)]->complete(i);
  drain(queue);
  EXPECT_FALSE(final->maybeSuccess().has_value());
}

}  // namespace
}  // namespace mornik::Flow
