#include "mornik/concurrency/UnfairLock.hpp"

#include <cerrno>
#include <climits>

#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "mornik/concurrency/detail/Fatal.hpp"

namespace mornik {

namespace detail {

thread_local constinit std::uint32_t tlsThreadTag __attribute__((tls_model("initial-exec"))) = 0;

namespace {

void resetThreadTagInChild() noexcept { tlsThreadTag = 0; }

// After fork() the child's only thread has a new kernel id.
const int kAtForkRegistered = pthread_atfork(nullptr, nullptr, &resetThreadTagInChild);

}  // namespace

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

void cpuRelax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

void futexWait(std::atomic<std::uint32_t>* word, std::uint32_t expected) noexcept {
  // Returns on wake-up, on a changed word (EAGAIN) or on a signal (EINTR);
  // the caller re-examines the word in every case.
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected,
            nullptr, nullptr, 0);
}

void futexWakeOne(std::atomic<std::uint32_t>* word) noexcept {
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr,
            nullptr, 0);
}

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
    cpuRelax();
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
    futexWait(word_.get(), current | kWaiters);
  }
}

void UnfairLock::unlockSlow(std::uint32_t previous) {
  if ((previous & kOwnerMask) != detail::currentThreadTag()) {
    detail::fatal(previous == 0 ? "UnfairLock: unlock of a lock that is not locked"
                                : "UnfairLock: unlock from a thread that does not hold the lock");
  }
  futexWakeOne(word_.get());
}

}  // namespace mornik
