#include "mornik/flow/observe/Published.hpp"

#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/flow/observe/ObservableObject.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik {
namespace {

using test::waitFor;

class Counter : public ObservableObject {
 public:
  Published<int> count{*this, 0};
};

// What one subscriber received, and whether it came as one run of
// consecutive numbers.
struct Received {
  std::mutex lock;
  std::vector<int> values;
  bool consecutive = true;
  void add(int value) {
    std::lock_guard<std::mutex> guard(lock);
    if (!values.empty() && value != values.back() + 1) consecutive = false;
    values.push_back(value);
  }
  int last() {
    std::lock_guard<std::mutex> guard(lock);
    return values.empty() ? -1 : values.back();
  }
};

TEST(PublishedValues, SubscribersGetTheCurrentValueThenEveryStoreInStoreOrder) {
  // Four threads each add one, many times: a subscriber on a serial queue
  // must see 0, 1, 2, ... without a gap, a repeat or a swap (a value handed
  // over outside the store's critical section could overtake another). One
  // subscriber joins from another thread in the middle of the stores: it
  // starts with the value current then and continues without a gap.
  auto counter = std::make_shared<Counter>();
  const int perThread = test::scaled(5000);
  const int total = 4 * perThread;
  auto early = std::make_shared<Received>();
  auto late = std::make_shared<Received>();
  Subscription earlySubscription = counter->count.subscribe(
      DispatchQueue("test.published.early"), [early](const int& n) { early->add(n); });
  Subscription lateSubscription;
  test::runConcurrently(5, [&](int t) {
    if (t == 4) {
      while (counter->count.get() < total / 2) std::this_thread::yield();
      lateSubscription = counter->count.subscribe(DispatchQueue("test.published.late"),
                                                  [late](const int& n) { late->add(n); });
      return;
    }
    for (int i = 0; i < perThread; ++i) counter->count.modify([](int& n) { ++n; });
  });
  ASSERT_TRUE(waitFor([&] { return early->last() == total && late->last() == total; }));
  std::lock_guard<std::mutex> earlyGuard(early->lock);
  std::lock_guard<std::mutex> lateGuard(late->lock);
  EXPECT_TRUE(early->consecutive);
  EXPECT_EQ(early->values.front(), 0);
  EXPECT_EQ(early->values.size(), static_cast<std::size_t>(total) + 1);
  EXPECT_TRUE(late->consecutive);
  EXPECT_GE(late->values.front(), total / 2);
}

}  // namespace
}  // namespace mornik
