#pragma once

#include <atomic>
#include <cstdint>

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// Opens once and releases every thread waiting for it, then stays open.
//
// open() publishes with release semantics: writes made before it are seen
// by any thread that finds the latch open. A thread blocked in wait() counts
// as blocking for the worker pool (the pool may start another worker).
class CompletionLatch {
 public:
  CompletionLatch() = default;
  CompletionLatch(const CompletionLatch&) = delete;
  CompletionLatch& operator=(const CompletionLatch&) = delete;

  bool isOpen() const noexcept { return state_.load(std::memory_order_acquire) != 0; }
  void open() noexcept;
  void wait() noexcept;

  // For an owner that opens the latch and registers its waiters under a lock
  // of its own, which then orders the two, so that opening needs no fence
  // (open() needs one, to see a waiter that registered concurrently).
  // Opener, under the lock: openGuarded() returns whether anyone waits; if
  // so, wakeWaiters() after unlocking. Waiter, under the lock: if the
  // latch is not open, addWaiterGuarded(); after unlocking, waitAdded().
  bool openGuarded() noexcept {
    state_.store(1, std::memory_order_release);
    return waiters_.load(std::memory_order_relaxed) != 0;
  }
  void wakeWaiters() noexcept;
  void addWaiterGuarded() noexcept { waiters_.fetch_add(1, std::memory_order_relaxed); }
  void waitAdded() noexcept;
  // For a waiter that added itself and then decided not to wait.
  void withdrawAdded() noexcept { waiters_.fetch_sub(1, std::memory_order_relaxed); }

 private:
  std::atomic<std::uint32_t> state_{0};  // 0 closed, 1 open
  std::atomic<std::uint32_t> waiters_{0};
};

}  // namespace mornik

MORNIK_EXPORTS_END
