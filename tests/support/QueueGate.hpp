#pragma once

#include <atomic>
#include <memory>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/DispatchSemaphore.hpp"

#include "tests/support/RunLoopWait.hpp"

namespace mornik::test {

// Holds a serial queue busy from construction until release() or the end of
// the scope, so that work submitted to it meanwhile stays queued. The
// semaphores live as long as the item that waits on them, not as long as
// the gate.
class QueueGate {
 public:
  explicit QueueGate(const DispatchQueue& queue) : state_(std::make_shared<State>()) {
    queue.async([state = state_] {
      state->entered.signal();
      state->open.wait();
    });
    state_->entered.wait();
  }
  ~QueueGate() { release(); }
  QueueGate(const QueueGate&) = delete;
  QueueGate& operator=(const QueueGate&) = delete;

  void release() {
    if (!released_) {
      released_ = true;
      state_->open.signal();
    }
  }

 private:
  struct State {
    DispatchSemaphore entered;
    DispatchSemaphore open;
  };
  std::shared_ptr<State> state_;
  bool released_ = false;
};

// Waits (pumping the main run loop) until everything submitted to the serial
// `queue` before this call has run, and what that work submitted back to the
// queue in turn, to a depth of `hops`: a value handed from a signal to a
// throttle to a pool's future crosses the same queue several times, and a
// single marker would only wait for the first crossing.
inline void drain(const DispatchQueue& queue, int hops = 4) {
  for (int hop = 0; hop < hops; ++hop) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    queue.async([done] { done->store(true); });
    ASSERT_TRUE(waitFor([&] { return done->load(); }));
  }
}

}  // namespace mornik::test
