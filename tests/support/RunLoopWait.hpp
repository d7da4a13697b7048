#pragma once

#include <chrono>
#include <cmath>
#include <functional>

#include "mornik/concurrency/RunLoop.hpp"

namespace mornik::test {

// Generous upper bound for events that normally take micro- to milliseconds;
// only a broken build ever waits this long.
inline constexpr double kEventTimeout = 10.0;

// Pumps the main run loop (tests run on the main thread) until `predicate`
// holds; false if it still does not after `timeout` seconds. The bound is on
// the real clock, so it holds while a test clock (ManualClock.hpp) stands
// still.
inline bool waitFor(const std::function<bool()>& predicate, double timeout = kEventTimeout) {
  using Clock = std::chrono::steady_clock;
  const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(timeout));
  (void)RunLoop::main().runUntil([&] { return predicate() || Clock::now() >= until; }, HUGE_VAL);
  return predicate();
}

}  // namespace mornik::test
