#include "mornik/flow/Combine.hpp"

#include <memory>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/flow/Error.hpp"
#include "mornik/flow/Future.hpp"
#include "mornik/flow/Result.hpp"

#include "tests/support/QueueGate.hpp"

namespace mornik::Flow {
namespace {

TEST(FCombine, SucceedsWithTheValuesInSourceOrderOnceTheLastOneArrives) {
  auto first = Future<int>::promise();
  auto second = Future<std::string>::promise();
  auto pair = FCombine2<int, std::string>::make(first, second);
  EXPECT_EQ(pair->queue().label(), "Combine2.Serial");
  second->complete(std::string("two"));
  test::drain(pair->queue());
  EXPECT_EQ(pair->final()->maybeSuccess(), std::nullopt);
  first->complete(1);
  EXPECT_EQ(pair->final()->wait().maybeSuccess(), std::make_tuple(1, std::string("two")));

  // Registering starts lazy sources; handlers may run on a given queue.
  auto a = Future<int>::make([]() -> Result<int> { return 1; });
  auto b = Future<double>::make([]() -> Result<double> { return 2.5; });
  auto c = Future<char>::make([]() -> Result<char> { return 'c'; });
  auto triple = FCombine3<int, double, char>::make(a, b, c, DispatchQueue("test.combine"));
  EXPECT_EQ(triple->final()->wait().maybeSuccess(), std::make_tuple(1, 2.5, 'c'));
}

TEST(FCombine, TheFirstFailureHandledDecidesAndAReleasedCombinerDecidesNothing) {
  auto first = Future<int>::promise();
  auto second = Future<int>::promise();
  auto combiner = FCombine2<int, int>::make(first, second);
  second->complete(WTF("second broke", 2));  // reaches the serial queue first
  first->complete(WTF("first broke", 1));
  const Result<std::tuple<int, int>> outcome = combiner->final()->wait();
  ASSERT_TRUE(outcome.maybeFailure().has_value());
  EXPECT_EQ(outcome.maybeFailure()->localizedDescription(), "second broke");

  auto x = Future<int>::promise();
  auto y = Future<int>::promise();
  auto dropped = FCombine2<int, int>::make(x, y);
  const auto final = dropped->final();
  const DispatchQueue queue = dropped->queue();
  dropped.reset();  // the handlers hold it weakly
  x->complete(1);
  y->complete(2);
  test::drain(queue);
  EXPECT_EQ(final->maybeSuccess(), std::nullopt);
}

}  // namespace
}  // namespace mornik::Flow
