#include "mornik/flow/pool/RunBlocking.hpp"

#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/Task.hpp"

#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"

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

Task<void> nothing() { co_return; }

Task<int> doubledLater(int n) {
  co_await sleepMs(2);
  co_return 2 * n;
}

TEST(RunBlocking, WaitsForTheTaskOnTheUserInitiatedQueue) {
  EXPECT_EQ(getSyncResultFrom(whereAmI), DispatchQueue::global(QoS::userInitiated).label());
  const Result<std::string> result = getSyncResultFromR([] { return whereAmI(); });
  EXPECT_EQ(result.value(), DispatchQueue::global(QoS::userInitiated).label());
  getSyncResultFrom(nothing);
  EXPECT_TRUE(getSyncResultFromR(nothing).isSuccess());
}

TEST(RunBlocking, AThrowingTaskGivesItsErrorToTheCaller) {
  const Result<int> result = getSyncResultFromR(failing);
  ASSERT_TRUE(result.isFailure());
  EXPECT_EQ(result.error().localizedDescription(), "no route to host");
  try {
    (void)getSyncResultFrom(failing);
    ADD_FAILURE() << "the error was not thrown";
  } catch (const Error& error) {
    EXPECT_EQ(error.localizedDescription(), "no route to host");
  }
  // A block that throws before making its task fails the same way.
  const Result<int> early =
      getSyncResultFromR([]() -> Task<int> { throw std::runtime_error("bad arguments"); });
  ASSERT_TRUE(early.isFailure());
  EXPECT_EQ(early.error().localizedDescription(), "bad arguments");
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
