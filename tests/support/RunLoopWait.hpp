#pragma once

#include <functional>

#include "mornik/concurrency/RunLoop.hpp"

namespace mornik::test {

// Generous upper bound for events that normally take micro- to milliseconds;
// only a broken build ever waits this long.
inline constexpr double kEventTimeout = 10.0;

// Pumps the main run loop (tests run on the main thread) until `predicate`
// holds; false if it still does not after `timeout` seconds.
inline bool waitFor(const std::function<bool()>& predicate, double timeout = kEventTimeout) {
  return RunLoop::main().runUntil(predicate, timeout);
}

}  // namespace mornik::test
