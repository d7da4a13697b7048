#include "mornik/concurrency/UnfairLock.hpp"

#include <cerrno>
#include <climits>

#include <pthread.h>
#include <unistd.h>

#include "mornik/base/Fatal.hpp"
#include "mornik/concurrency/detail/Futex.hpp"

namespace mornik {

namespace detail {

thread_local constinit std::uint32_t tlsThreadTag __attribute__((tls_model("initial-exec"))) = 0;

namespace {

void resetThreadTagInChild() noexcept { tlsThreadTag = 0; }

// After fork() the child's only thread has a new kernel id.
const int kAtForkRegistered = pthread_atfork(nullptr, nullptr, &resetThreadTagInChild);

}  // namespace

void forceUnlockAfterFork(UnfairLock& lock) noexcept {
  lock.word_->store(0, std::memory_order_relaxed);
}

std::uint32_t initThreadTag() noexcept {
  (void)kAtForkRegistered;
  tlsThreadTag = static_cast<std::uint32_t>(::gettid());
  return tlsThreadTag;
}

}  // namespace detail

namespace {

// Kernel thread ids stay below 2^22; the top bit marks sleeping waiters.
constexpr std::uint32_t kWaiters = 0x8000'0000U;
constexpr std::uint32_t kOwnerMask = ~kWaiters;
// Spins before sleeping: enough to ride out a critical section of a few
// dozen instructions on another core (about half a microsecond), and no more:
// measured with two threads hammering one lock, longer spins keep the cache
// line bouncing between cores and cut throughput (100 spins: 0.5x of a
// sleeping-only mutex; 10 spins: 1.1-1.3x).
constexpr int kSpinLimit = 10;

}  // namespace

static_assert(sizeof(std::atomic<std::uint32_t>) == 4);
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);

UnfairLock::UnfairLock() : word_(std::make_unique<std::atomic<std::uint32_t>>(0)) {}

UnfairLock::~UnfairLock() = default;

UnfairLock::UnfairLock(UnfairLock&& other) noexcept = default;

UnfairLock& UnfairLock::operator=(UnfairLock&& other) noexcept = default;

void UnfairLock::lockSlow(std::uint32_t self, std::uint32_t seen) {
  if ((seen & kOwnerMask) == self) {
    detail::fatal("UnfairLock: the lock was taken twice on one thread (it is not recursive)");
  }
  // Brief spin: the holder is likely running on another core and about to leave.
  for (int i = 0; i < kSpinLimit; ++i) {
    detail::cpuRelax();
    std::uint32_t current = word_->load(std::memory_order_relaxed);
    if (current == 0 && word_->compare_exchange_weak(current, self, std::memory_order_acquire,
                                                     std::memory_order_relaxed)) {
      return;
    }
    if ((current & kWaiters) != 0) break;  // others already sleep: join them
  }
  // Sleep. A thread that has slept takes the lock with the waiters bit set,
  // because it cannot know whether other sleepers remain; the cost is at most
  // one spurious wake-up at its unlock.
  for (;;) {
    std::uint32_t current = word_->load(std::memory_order_relaxed);
    if (current == 0) {
      if (word_->compare_exchange_weak(current, self | kWaiters, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
        return;
      }
      continue;
    }
    if ((current & kWaiters) == 0 &&
        !word_->compare_exchange_weak(current, current | kWaiters, std::memory_order_relaxed,
                                      std::memory_order_relaxed)) {
      continue;
    }
    detail::futexWait(*word_, current | kWaiters);
  }
}

void UnfairLock::unlockSlow(std::uint32_t previous) {
  if ((previous & kOwnerMask) != detail::currentThreadTag()) {
    detail::fatal(previous == 0 ? "UnfairLock: unlock of a lock that is not locked"
                                : "UnfairLock: unlock from a thread that does not hold the lock");
  }
  detail::futexWake(*word_, 1);
}

}  // namespace mornik
