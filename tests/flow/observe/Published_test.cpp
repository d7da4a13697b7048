#include "mornik/flow/observe/Published.hpp"

#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/flow/observe/ObservableObject.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/Recorder.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik {
namespace {

class Counter : public ObservableObject {
 public:
  Published<int> count{*this, 0};
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
  test::Recorder<int> early(DispatchQueue("test.published.early"));
  test::Recorder<int> late(DispatchQueue("test.published.late"));
  Subscription earlySubscription = counter->count.subscribe(early.queue(), early.block());
  Subscription lateSubscription;
  test::runConcurrently(5, [&](int t) {
    if (t == 4) {
      while (counter->count.get() < total / 2) std::this_thread::yield();
      lateSubscription = counter->count.subscribe(late.queue(), late.block());
      return;
    }
    for (int i = 0; i < perThread; ++i) counter->count.modify([](int& n) { ++n; });
  });
  const std::vector<int> earlyValues = early.values();
  const std::vector<int> lateValues = late.values();
  ASSERT_EQ(earlyValues.size(), static_cast<std::size_t>(total) + 1);
  for (std::size_t i = 0; i < earlyValues.size(); ++i)
    ASSERT_EQ(earlyValues[i], static_cast<int>(i));
  ASSERT_GE(lateValues.front(), total / 2);
  for (std::size_t i = 1; i < lateValues.size(); ++i)
    ASSERT_EQ(lateValues[i], lateValues[0] + static_cast<int>(i));
  EXPECT_EQ(lateValues.back(), total);
}

}  // namespace
}  // namespace mornik
