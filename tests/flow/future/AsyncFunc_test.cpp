#include "mornik/flow/future/AsyncFunc.hpp"

#include <atomic>
#include <memory>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchSemaphore.hpp"
#include "mornik/concurrency/ResultLazyDic.hpp"

#include "tests/support/DeliveryLog.hpp"
#include "tests/support/ResultMatchers.hpp"

namespace mornik {
namespace {

Task<std::string> awaitBoth(std::shared_ptr<AsyncFunc<int>> func) {
  const Result<int> first = co_await func->result();
  const Result<int> second = co_await func->result();  // already there
  co_return std::to_string(first.value() + second.value()) + " on " + DispatchQueue::currentLabel();
}

Task<std::string> viaAsyncFunc(bool fail) {
  const Result<int> result = co_await asyncFunc([fail]() -> Result<int> {
    if (fail) return WTF("no luck", 3);
    return 5;
  });
  if (result.isFailure()) co_return result.error().localizedDescription();
  const Result<int> ready = 9;
  const Result<int> same = co_await ready.wait();
  co_return std::to_string(result.value() + same.value());
}

TEST(AsyncFunc, StartsAtOnceRunsOnceAndResumesAwaitersOnTheirQueues) {
  std::atomic<int> runs{0};
  DispatchSemaphore gate;
  auto func = AsyncFunc<int>::make([&]() -> Result<int> {
    runs.fetch_add(1);
    gate.wait();
    return 21;
  });
  EXPECT_TRUE(test::waitFor([&] { return runs.load() == 1; }));  // before anyone awaits it
  auto seen = test::DeliveryLog<std::string>::make();
  for (const char* label : {"test.a", "test.b"}) {
    awaitBoth(func).start(DispatchQueue(label),
                          [seen](Result<std::string> o) { seen->add(o.value()); });
  }
  gate.signal();
  for (const bool fail : {false, true}) {
    viaAsyncFunc(fail).start(DispatchQueue::global(),
                             [seen](Result<std::string> o) { seen->add(o.value()); });
  }
  ASSERT_TRUE(seen->waitForSize(4));
  EXPECT_THAT(seen->values(),
              testing::UnorderedElementsAre("42 on test.a", "42 on test.b", "14", "no luck"));
  EXPECT_EQ(runs.load(), 1);
}

struct Catalog : ThreadSafeAccess<Catalog> {
  mutable UnfairLock locker;
  int calls = 0;
  ResultLazyDic<std::string, int> prices{{}, [this](const std::string& item) -> Result<int> {
                                           if (++calls == 1) return WTF("offline", 7);
                                           return static_cast<int>(item.size());
                                         }};
};

TEST(ResultLazyDic, AFailureIsReturnedAndNotStoredSoTheNextCallTriesAgain) {
  Catalog catalog;
  EXPECT_THAT(catalog.cache(&Catalog::prices, std::string("pear")),
              test::Failed(WTF("offline", 7)));
  EXPECT_THAT(catalog.cache(&Catalog::prices, std::string("pear")), test::Succeeded(4));
  EXPECT_THAT(catalog.cache(&Catalog::prices, std::string("pear")), test::Succeeded(4));
  EXPECT_EQ(catalog.calls, 2);
}

}  // namespace
}  // namespace mornik
