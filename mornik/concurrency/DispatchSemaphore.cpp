#include "mornik/concurrency/DispatchSemaphore.hpp"

#include <cmath>
#include <limits>

#include "mornik/concurrency/detail/Executor.hpp"
#include "mornik/concurrency/detail/Futex.hpp"
#include "mornik/concurrency/detail/TestHooks.hpp"

namespace mornik {

using detail::kNoDeadline;

bool DispatchSemaphore::signal() noexcept {
  if (value_.fetch_add(1, std::memory_order_release) >= 0) return false;
  wakeups_.fetch_add(1, std::memory_order_release);
  detail::futexWake(wakeups_, 1);
  return true;
}

void DispatchSemaphore::wait() noexcept {
  if (value_.fetch_sub(1, std::memory_order_acquire) > 0) return;
  detail::BlockingRegion blocking;
  (void)takeWakeup(kNoDeadline);
}

bool DispatchSemaphore::wait(double timeoutSeconds) noexcept {
  if (value_.fetch_sub(1, std::memory_order_acquire) > 0) return true;
  const std::int64_t deadline = std::isinf(timeoutSeconds) && timeoutSeconds > 0
                                    ? kNoDeadline
                                    : detail::monotonicNowNs() + detail::delayToNs(timeoutSeconds);
  detail::BlockingRegion blocking;
  if (takeWakeup(deadline)) return true;
  detail::testPoint(detail::TestPoint::semaphoreTimedOut, this);
  // Timed out: withdraw from the count, unless a signal already counted on
  // this waiter, in which case its wake-up is on the way and is ours.
  for (std::int64_t value = value_.load(std::memory_order_relaxed);;) {
    if (value >= 0) {
      (void)takeWakeup(kNoDeadline);
      return true;
    }
    if (value_.compare_exchange_weak(value, value + 1, std::memory_order_relaxed)) return false;
  }
}

bool DispatchSemaphore::takeWakeup(std::int64_t deadlineNs) noexcept {
  for (;;) {
    std::uint32_t available = wakeups_.load(std::memory_order_acquire);
    while (available > 0) {
      if (wakeups_.compare_exchange_weak(available, available - 1, std::memory_order_acquire)) {
        return true;
      }
    }
    if (deadlineNs != kNoDeadline && detail::monotonicNowNs() >= deadlineNs) return false;
    detail::futexWaitUntil(wakeups_, 0, deadlineNs);
  }
}

}  // namespace mornik
