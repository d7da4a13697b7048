#include "mornik/flow/future/AsyncFunc.hpp"

#include <atomic>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchSemaphore.hpp"
#include "mornik/concurrency/ResultLazyDic.hpp"

#include "tests/support/RunLoopWait.hpp"

namespace mornik {
namespace {

template <class T>
Result<T> runToEnd(Task<T> task, const DispatchQueue& queue) {
  auto outcome = std::make_shared<std::optional<Result<T>>>();
  std::atomic<bool> done{false};
  std::move(task).start(queue, [outcome, &done](Result<T> result) {
    outcome->emplace(std::move(result));
    done = true;
  });
  EXPECT_TRUE(test::waitFor([&] { return done.load(); }));
  return std::move(**outcome);
}

Task<std::string> awaitBoth(std::shared_ptr<AsyncFunc<int>> func) {
  const Result<int> first = co_await func->result();
  const Result<int> second = co_await func->result();  // already there
  co_return std::to_string(first.value() + second.value()) + " on " + DispatchQueue::currentLabel();
}

TEST(AsyncFunc, StartsAtOnceRunsOnceAndResumesAwaitersOnTheirQueues) {
  std::atomic<int> runs{0};
  DispatchSemaphore gate;
  auto func = AsyncFunc<int>::make([&]() -> Result<int> {
    runs.fetch_add(1);
    gate.wait();
    return 21;
  });
  // Started before anyone awaits it.
  EXPECT_TRUE(test::waitFor([&] { return runs.load() == 1; }));
  std::atomic<int> finished{0};
  std::string a;
  std::string b;
  awaitBoth(func).start(DispatchQueue("test.a"), [&](Result<std::string> o) {
    a = o.value();
    finished.fetch_add(1);
  });
  awaitBoth(func).start(DispatchQueue("test.b"), [&](Result<std::string> o) {
    b = o.value();
    finished.fetch_add(1);
  });
  gate.signal();
  ASSERT_TRUE(test::waitFor([&] { return finished.load() == 2; }));
  EXPECT_EQ(a, "42 on test.a");
  EXPECT_EQ(b, "42 on test.b");
  EXPECT_EQ(runs.load(), 1);
}

Task<Result<int>> viaAsyncFunc(bool fail) {
  co_return co_await asyncFunc([fail]() -> Result<int> {
    if (fail) return WTF("no luck", 3);
    return 5;
  });
}

Task<int> awaitsAResult() {
  const Result<int> ready = 9;
  const Result<int> same = co_await ready.wait();
  co_return same.value();
}

TEST(AsyncFunc, AsyncFuncGivesTheBlocksResultAndResultWaitIsImmediate) {
  EXPECT_EQ(runToEnd(viaAsyncFunc(false), DispatchQueue::global()).value().value(), 5);
  const Result<int> failed = runToEnd(viaAsyncFunc(true), DispatchQueue::global()).value();
  EXPECT_EQ(failed.error(), WTF("no luck", 3));
  EXPECT_EQ(runToEnd(awaitsAResult(), DispatchQueue::global()).value(), 9);
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
  EXPECT_EQ(catalog.cache(&Catalog::prices, std::string("pear")).error().code(), 7);
  EXPECT_EQ(catalog.cache(&Catalog::prices, std::string("pear")).value(), 4);
  EXPECT_EQ(catalog.cache(&Catalog::prices, std::string("pear")).value(), 4);
  EXPECT_EQ(catalog.calls, 2);
}

}  // namespace
}  // namespace mornik
