#include "mornik/flow/observe/Scoped.hpp"

#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/DispatchSemaphore.hpp"
#include "mornik/flow/future/Future.hpp"
#include "mornik/flow/signal/Signal.hpp"

#include "tests/support/Census.hpp"
#include "tests/support/QueueGate.hpp"

namespace mornik {
namespace {

TEST(Scoped, AReleasedSubscriptionSilencesItsHandlerAndReleasesItsBlockAtOnce) {
  const DispatchQueue queue("scoped.forms");
  for (int round = 0; round < 2; ++round) {
    const auto census = test::Census::make();
    auto future = Flow::Future<int>::promise(queue);
    auto signal = Flow::Signal<int>::make(queue);
    auto context = std::make_shared<int>(0);
    int runs = 0;
    Subscription kept = future->onSuccess(
        Flow::scoped, context, [&, m = census->member()](int& c, int v) { runs += c + v; });
    Subscription dropped =
        signal->onUpdate(Flow::scoped, [&, m = census->member()](int) { ++runs; });
    dropped.cancel();
    EXPECT_EQ(census->alive(), 1);
    future->complete(5);
    signal->update(1);
    test::drain(queue);
    EXPECT_EQ(runs, 5);
  }
}

TEST(Scoped, ASubscriptionReleasedElsewhereWhileItsHandlerRunsLetsItFinish) {
  const DispatchQueue queue("scoped.running");
  const auto census = test::Census::make();
  auto entered = std::make_shared<DispatchSemaphore>(0);
  auto leave = std::make_shared<DispatchSemaphore>(0);
  auto payload = std::make_shared<int>(3);  // read by the handler after the release
  int read = 0;
  auto signal = Flow::Signal<int>::make(queue);
  Subscription subscription =
      signal->onUpdate(Flow::scoped, [&, m = census->member(), payload](int) {
        entered->signal();
        leave->wait();
        read = *payload;
      });
  signal->update(1);
  payload.reset();
  entered->wait();
  signal.reset();  // the subscription outlives its source
  std::thread([&] { subscription.cancel(); }).join();
  EXPECT_EQ(census->alive(), 1);  // the running delivery holds the block
  leave->signal();
  test::drain(queue);
  EXPECT_EQ(read, 3);
  EXPECT_EQ(census->alive(), 0);
}

}  // namespace
}  // namespace mornik
