#include "mornik/flow/observe/Scoped.hpp"

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/DispatchSemaphore.hpp"
#include "mornik/flow/future/Future.hpp"
#include "mornik/flow/signal/Signal.hpp"

#include "tests/support/Census.hpp"
#include "tests/support/QueueGate.hpp"
#include "tests/support/RunLoopWait.hpp"

namespace mornik {
namespace {

using Flow::Future;
using Flow::Signal;

struct Target {
  int seen = 0;
};

// A source and one scoped registration on it; `fire` makes it deliver.
struct Source {
  std::shared_ptr<void> keep;
  std::function<Subscription(std::function<void()> onDelivery)> subscribe;
  std::function<void()> fire;
};

Source futureSource(const DispatchQueue& queue, int form) {
  auto future = Future<int>::promise(queue);
  auto target = std::make_shared<Target>();
  Source source;
  source.keep = std::make_shared<std::pair<decltype(future), decltype(target)>>(future, target);
  source.subscribe = [future, target, form](std::function<void()> onDelivery) {
    switch (form) {
      case 0:
        return future->onSuccess(Flow::scoped, [onDelivery](int /*unused*/) { onDelivery(); });
      case 1:
        return future->onComplete(Flow::scoped, std::nullopt,
                                  [onDelivery](const Result<int>& /*unused*/) { onDelivery(); });
      default:
        return future->onSuccess(Flow::scoped, target, [onDelivery](Target& t, int n) {
          t.seen = n;
          onDelivery();
        });
    }
  };
  source.fire = [future] { future->complete(5); };
  return source;
}

Source signalSource(const DispatchQueue& queue) {
  auto signal = Signal<int>::make(queue);
  Source source;
  source.keep = signal;
  source.subscribe = [signal](std::function<void()> onDelivery) {
    return signal->onUpdate(Flow::scoped, [onDelivery](int /*unused*/) { onDelivery(); });
  };
  source.fire = [signal] { signal->update(1); };
  return source;
}

TEST(Scoped, AHandlerRunsWhileItsSubscriptionLivesAndItsBlockGoesWithIt) {
  const DispatchQueue queue("scoped.forms");
  const std::function<Source()> makers[] = {
      [&] { return futureSource(queue, 0); }, [&] { return futureSource(queue, 1); },
      [&] { return futureSource(queue, 2); }, [&] { return signalSource(queue); }};
  for (std::size_t form = 0; form < std::size(makers); ++form) {
    SCOPED_TRACE(form);
    // Kept: delivered. Released before the delivery: the block and its
    // captures go at once, and nothing runs. Twice, on fresh sources.
    for (int round = 0; round < 2; ++round) {
      for (const bool kept : {true, false}) {
        Source source = makers[form]();
        const auto census = test::Census::make();
        auto runs = std::make_shared<std::atomic<int>>(0);
        Subscription subscription =
            source.subscribe([runs, member = census->member()] { runs->fetch_add(1); });
        EXPECT_EQ(census->alive(), 1);
        if (!kept) {
          subscription.cancel();
          EXPECT_EQ(census->alive(), 0);
        }
        source.fire();
        test::drain(queue);
        EXPECT_EQ(runs->load(), kept ? 1 : 0);
      }
    }
  }
}

TEST(Scoped, ASubscriptionReleasedWhileItsHandlerRunsLetsItFinish) {
  const DispatchQueue queue("scoped.running");
  auto signal = Signal<int>::make(queue);
  const auto census = test::Census::make();
  auto entered = std::make_shared<DispatchSemaphore>(0);
  auto leave = std::make_shared<DispatchSemaphore>(0);
  // The handler reads what it captured after its subscription is gone.
  auto payload = std::make_shared<int>(0);
  std::atomic<int> read{0};
  Subscription subscription =
      signal->onUpdate(Flow::scoped, [&, member = census->member(), payload](int value) {
        entered->signal();
        leave->wait();
        *payload += value;
        read.store(*payload);
      });
  payload.reset();
  signal->update(3);
  entered->wait();
  std::thread([&] { subscription.cancel(); }).join();
  EXPECT_EQ(census->alive(), 1);  // the running delivery holds the block
  leave->signal();
  test::drain(queue);
  EXPECT_EQ(read.load(), 3);
  EXPECT_EQ(census->alive(), 0);
  signal->update(4);
  test::drain(queue);
  EXPECT_EQ(read.load(), 3);
}

TEST(Scoped, ASubscriptionMayOutliveItsSource) {
  const auto census = test::Census::make();
  Subscription subscription;
  {
    auto signal = Signal<int>::make(DispatchQueue::main());
    subscription = signal->onUpdate(Flow::scoped, [member = census->member()](int) {});
  }
  EXPECT_EQ(census->alive(), 1);  // the subscription owns the block
  subscription.cancel();
  EXPECT_EQ(census->alive(), 0);
}

}  // namespace
}  // namespace mornik
