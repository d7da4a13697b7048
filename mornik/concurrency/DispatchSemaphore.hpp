#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// A counting semaphore: `wait` takes one unit, sleeping while there is none;
// `signal` adds one unit and wakes one waiter.
//
//   mornik::DispatchSemaphore done;          // count 0
//   queue.async([&] { work(); done.signal(); });
//   done.wait();                             // until work() finished
//
// Writes made before signal() are visible after the wait() it releases.
// A wait on a pool worker counts as blocking: the pool may start another
// worker meanwhile, so queued work keeps running.
//
// Thread safety: every member may be called from any thread. Destroying a
// semaphore that a thread still waits on is undefined.
class DispatchSemaphore {
 public:
  explicit DispatchSemaphore(std::int64_t count = 0) noexcept : value_(count) {}
  DispatchSemaphore(const DispatchSemaphore&) = delete;
  DispatchSemaphore& operator=(const DispatchSemaphore&) = delete;

  // Adds one unit; returns whether a waiting thread was woken.
  bool signal() noexcept;
  // Takes one unit, waiting as long as it takes.
  void wait() noexcept;
  // Takes one unit, waiting at most `timeoutSeconds` (NaN counts as zero,
  // +infinity as no limit). Returns false on timeout.
  bool wait(double timeoutSeconds) noexcept;
  template <class Rep, class Period>
  bool wait(std::chrono::duration<Rep, Period> timeout) noexcept {
    return wait(std::chrono::duration<double>(timeout).count());
  }

 private:
  bool takeWakeup(std::int64_t deadlineNs) noexcept;

  std::atomic<std::int64_t> value_;  // units; negative: minus the number of waiters
  std::atomic<std::uint32_t> wakeups_{0};
};

}  // namespace mornik

MORNIK_EXPORTS_END
