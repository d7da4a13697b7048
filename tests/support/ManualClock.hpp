#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>

#include <gtest/gtest.h>

#include "mornik/concurrency/RunLoop.hpp"
#include "mornik/concurrency/detail/Executor.hpp"

#include "tests/support/RunLoopWait.hpp"

namespace mornik::test {

// A clock that stands still until the test moves it. While one exists it is
// the executor's clock: delayed work, timer sources, run-loop timers, Task
// sleeps, debounce and timed waits all see its time, so a test advances one
// second instead of waiting one (main thread only; one at a time).
//
//   test::ManualClock clock;
//   queue.asyncAfter(1.0, [&] { ran = true; });
//   clock.advance(0.999);   // nothing
//   clock.advance(0.001);   // ran, by the time advance returns
//
// advance() walks through the deadlines it passes in order: at each one it
// sets the clock there, hands what is due to its queues and waits (pumping
// the main run loop) until that work ran, so that work scheduled by a timer
// handler inside the stretch (the next window of a throttle) fires in the
// same call. Run-loop timers are not in that walk: the main loop gets one
// pass at the end, and other loops see the new time within a millisecond.
//
// Real-time waits stay real: test::waitFor bounds itself on the real clock,
// but RunLoop::runFor and runUntil's timeout follow this clock, so a test
// must not use them while it holds one.
class ManualClock {
 public:
  ManualClock() { mornik::detail::installTestClock(&now_); }
  ~ManualClock() { mornik::detail::installTestClock(nullptr); }
  ManualClock(const ManualClock&) = delete;
  ManualClock& operator=(const ManualClock&) = delete;

  template <class Rep, class Period>
  void advance(std::chrono::duration<Rep, Period> by) {
    advanceNs(std::chrono::ceil<std::chrono::nanoseconds>(by).count());
  }
  void advance(double seconds) {
    advanceNs(static_cast<std::int64_t>(std::llround(seconds * 1e9)));
  }

  std::int64_t nowNs() const { return now_.load(); }

 private:
  void advanceNs(std::int64_t by) {
    const std::int64_t target = now_.load() + std::max<std::int64_t>(by, 0);
    // Bounded so that zero-length timers re-arming themselves cannot spin
    // here for ever.
    for (int step = 0; step < 100000; ++step) {
      const std::int64_t next = mornik::detail::nextTimerDeadlineNs();
      if (next > target) break;
      if (next > now_.load()) now_.store(next);
      runDue();
    }
    now_.store(target);
    runDue();  // whatever the heap itself takes to be due now
    RunLoop::main().runFor(0);
  }

  // Hands every due entry to its queue, wrapped so that we learn when it ran.
  void runDue() {
    auto pending = std::make_shared<std::atomic<int>>(0);
    mornik::detail::takeDueTimers(
        [&](const mornik::detail::QueueRef& queue, mornik::detail::WorkItem* item) {
          pending->fetch_add(1);
          queue->enqueue(mornik::detail::makeWorkItem([item, target = queue.get(), pending] {
            struct Done {
              std::atomic<int>& count;
              ~Done() {
                count.fetch_sub(1);
                RunLoop::main().wakeUp();
              }
            } done{*pending};
            mornik::detail::runAndRelease(item, target);
          }));
        });
    EXPECT_TRUE(waitFor([&] { return pending->load() == 0; })) << "due work did not finish";
  }

  std::atomic<std::int64_t> now_{mornik::detail::realNowNs()};
};

}  // namespace mornik::test
