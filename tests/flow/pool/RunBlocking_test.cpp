#include "mornik/flow/pool/RunBlocking.hpp"

#include <atomic>
#include <stdexcept>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "mornik/concurrency/Task.hpp"

#include "tests/support/ResultMatchers.hpp"
#include "tests/support/RunLoopWait.hpp"

namespace mornik {
namespace {

Task<std::string> whereAmI() {
  co_await sleepMs(1);
  co_return DispatchQueue::currentLabel();
}

Task<int> failing() {
  co_await sleepMs(1);
  throw std::runtime_error("no route to host");
}

Task<int> doubledLater(int n) {
  co_await sleepMs(2);
  co_return 2 * n;
}

TEST(RunBlocking, WaitsForTheTaskOnTheUserInitiatedQueueAndHandsOnItsError) {
  const std::string label = DispatchQueue::global(QoS::userInitiated).label();
  EXPECT_EQ(getSyncResultFrom(whereAmI), label);
  EXPECT_THAT(getSyncResultFromR([] { return whereAmI(); }), test::Succeeded(label));
  EXPECT_THAT(getSyncResultFromR([]() -> Task<void> { co_return; }), test::Succeeded());
  EXPECT_THAT(getSyncResultFromR(failing), test::FailedWith("no route to host"));
  EXPECT_THROW((void)getSyncResultFrom(failing), Error);
  // A block that throws before making its task fails the same way.
  EXPECT_THAT(getSyncResultFromR([]() -> Task<int> { throw std::runtime_error("bad arguments"); }),
              test::FailedWith("bad arguments"));
}

// Blocking bridges called from many workers of the shared pool at once:
// the executor lends extra workers to blocked callers, so none deadlocks.
TEST(RunBlocking, ManyBlockedWorkersDoNotStarveTheirTasks) {
  const int callers = 64;
  std::atomic<int> finished{0};
  for (int i = 0; i < callers; ++i) {
    DispatchQueue::global(QoS::userInitiated).async([&finished, i] {
      if (getSyncResultFrom([i] { return doubledLater(i); }) == 2 * i) finished.fetch_add(1);
    });
  }
  ASSERT_TRUE(test::waitFor([&] { return finished.load() == callers; }));
}

}  // namespace
}  // namespace mornik
