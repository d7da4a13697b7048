#include "mornik/concurrency/CompletionLatch.hpp"

#include <climits>

#include "mornik/concurrency/detail/Executor.hpp"
#include "mornik/concurrency/detail/Futex.hpp"

namespace mornik {

void CompletionLatch::open() noexcept {
  state_.store(1, std::memory_order_seq_cst);
  // Pairs with the waiter's increment before its check of state_: either the
  // waiter sees the latch open, or this sees the waiter and wakes it.
  if (waiters_.load(std::memory_order_seq_cst) != 0) detail::futexWake(state_, INT_MAX);
}

void CompletionLatch::wait() noexcept {
  if (isOpen()) return;
  detail::BlockingRegion blocking;
  waiters_.fetch_add(1, std::memory_order_seq_cst);
  while (state_.load(std::memory_order_seq_cst) == 0) detail::futexWait(state_, 0);
  waiters_.fetch_sub(1, std::memory_order_relaxed);
}

void CompletionLatch::wakeWaiters() noexcept { detail::futexWake(state_, INT_MAX); }

void CompletionLatch::waitAdded() noexcept {
  if (!isOpen()) {
    detail::BlockingRegion blocking;
    while (state_.load(std::memory_order_acquire) == 0) detail::futexWait(state_, 0);
  }
  waiters_.fetch_sub(1, std::memory_order_relaxed);
}

}  // namespace mornik
