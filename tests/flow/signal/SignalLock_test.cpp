#include "mornik/flow/signal/detail/SignalLock.hpp"

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

namespace {

using mornik::detail::SignalLock;
using mornik::detail::SignalLockStep;

// Waits (yielding) until `done()` holds, for at most ten seconds.
bool eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// What the seam saw; the seam is a plain function, so its state is global.
std::atomic<bool> withdrawerWaited{false};
std::atomic<bool> ownerFellBack{false};
std::function<void()> onOwnerEntering;

void recordStep(SignalLockStep step) {
  switch (step) {
    case SignalLockStep::withdrawerWaits:
      withdrawerWaited = true;
      break;
    case SignalLockStep::ownerFellBack:
      ownerFellBack = true;
      break;
    case SignalLockStep::ownerEntering:
      if (onOwnerEntering) std::exchange(onOwnerEntering, nullptr)();
      break;
  }
}

class SignalLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!mornik::detail::fencesEveryThread()) GTEST_SKIP() << "no process-wide barrier: no bias";
    withdrawerWaited = false;
    ownerFellBack = false;
    mornik::detail::signalLockSeam = &recordStep;
  }
  void TearDown() override { mornik::detail::signalLockSeam = nullptr; }
};

TEST_F(SignalLockTest, ASecondThreadWaitsForTheOwnerToLeave) {
  SignalLock lock;
  lock.lock();  // this thread becomes the owner, and stays inside
  std::atomic<bool> entered{false};
  std::thread other([&] {
    lock.lock();
    entered = true;
    lock.unlock();
  });
  ASSERT_TRUE(eventually([&] { return withdrawerWaited || entered; }));
  EXPECT_FALSE(entered) << "the other thread entered while the owner was inside";
  lock.unlock();
  other.join();
  EXPECT_TRUE(entered);
}

// The bias is withdrawn between the owner's first look and its entry: the
// owner must see that and wait for the spin lock the other thread holds.
TEST_F(SignalLockTest, AnOwnerThatLostTheBiasOnItsWayInTakesTheSpinLock) {
  SignalLock lock;
  lock.lock();
  lock.unlock();  // biased to this thread
  std::atomic<bool> ownerInside{false};
  std::atomic<bool> otherHolds{false};
  std::atomic<bool> overlapped{false};
  std::thread other;
  onOwnerEntering = [&] {
    other = std::thread([&] {
      lock.lock();
      otherHolds = true;
      eventually([&] { return ownerFellBack || ownerInside; });
      overlapped = ownerInside.load();
      lock.unlock();
    });
    eventually([&] { return otherHolds.load(); });
  };
  lock.lock();
  ownerInside = true;
  lock.unlock();
  other.join();
  EXPECT_TRUE(ownerFellBack);
  EXPECT_FALSE(overlapped) << "the owner entered while the other thread held the lock";
}

}  // namespace
