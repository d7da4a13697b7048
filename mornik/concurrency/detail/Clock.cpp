#include "mornik/concurrency/detail/Clock.hpp"

#include <algorithm>
#include <cmath>
#include <ctime>

#include "mornik/concurrency/detail/Futex.hpp"

namespace mornik::detail {

namespace {
// How often a wait with a deadline looks at a test clock again.
constexpr std::int64_t kTestClockPollNs = 1'000'000;
}  // namespace

std::atomic<const std::atomic<std::int64_t>*> gTestClockNow{nullptr};

std::int64_t realNowNs() noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

std::int64_t delayToNs(double seconds) noexcept {
  if (!(seconds > 0)) return 0;
  const double ns = seconds * 1e9;
  if (ns >= static_cast<double>(kMaxDelayNs)) return kMaxDelayNs;
  return static_cast<std::int64_t>(std::ceil(ns));
}

void futexWaitUntil(std::atomic<std::uint32_t>& word, std::uint32_t expected,
                    std::int64_t deadlineNs) noexcept {
  if (deadlineNs == kNoDeadline) {
    futexWait(word, expected);
    return;
  }
  const std::int64_t remaining = deadlineNs - monotonicNowNs();
  if (remaining <= 0) return;
  // A test clock's time does not pass while we sleep: look again soon.
  futexWait(word, expected,
            testClockInstalled() ? std::min(remaining, kTestClockPollNs) : remaining);
}

}  // namespace mornik::detail
