#pragma once

// The executor's clock, with a seam for tests. Internal.
//
// Everything the executor times — delayed work, timer sources, run-loop
// timers and run deadlines, timed waits of semaphores and groups, debounce —
// reads monotonicNowNs(). It is the system's monotonic clock unless a test
// installed a clock of its own, whose time moves only when the test moves it
// (tests/support/ManualClock.hpp). Production pays one load of a pointer
// that is always null.
//
// While a test clock is installed, the timer thread leaves the timer heap
// alone: the test hands due work to its queues with takeDueTimers()
// (Executor.hpp) after each move, so what fires, and in which order, follows from the moves
// alone. Waits with a deadline (futexWaitUntil) look at the test clock again
// at least once a millisecond.

#include <atomic>
#include <cstdint>
#include <limits>

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::detail {

inline constexpr std::int64_t kNoDeadline = std::numeric_limits<std::int64_t>::max();

// Nanoseconds on the system's monotonic clock, whatever a test installed.
std::int64_t realNowNs() noexcept;

// The time a test clock shows, or null (production).
extern std::atomic<const std::atomic<std::int64_t>*> gTestClockNow;

// Nanoseconds on the executor's clock.
inline std::int64_t monotonicNowNs() noexcept {
  const std::atomic<std::int64_t>* testNow = gTestClockNow.load(std::memory_order_acquire);
  if (testNow == nullptr) [[likely]] {
    return realNowNs();
  }
  return testNow->load(std::memory_order_acquire);
}

inline bool testClockInstalled() noexcept {
  return gTestClockNow.load(std::memory_order_acquire) != nullptr;
}

// Makes `*now` the executor's clock (null: back to the monotonic clock). The
// caller keeps `*now` alive, starts it at realNowNs() and never moves it
// backwards: then work pending when the clock changes is late, never early.
void installTestClock(const std::atomic<std::int64_t>* now) noexcept;

// Sleeps while `word == expected` until woken, or until the executor's clock
// reaches `deadlineNs` (kNoDeadline: no limit). May return early; callers
// re-check their condition and the clock.
void futexWaitUntil(std::atomic<std::uint32_t>& word, std::uint32_t expected,
                    std::int64_t deadlineNs) noexcept;

// Converts a delay in seconds to nanoseconds: negative delays become 0,
// delays beyond a century become a century (now + delay cannot overflow).
// The caller rejects NaN first. Never rounds down: a deadline is not early.
std::int64_t delayToNs(double seconds) noexcept;

inline constexpr std::int64_t kMaxDelayNs = 100LL * 365 * 24 * 3600 * 1'000'000'000;

}  // namespace mornik::detail

MORNIK_EXPORTS_END
