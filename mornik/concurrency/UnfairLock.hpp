#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <type_traits>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/LockingProtocol.hpp"
#include "mornik/concurrency/ThreadAnnotations.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

namespace detail {

// A per-thread tag (the kernel thread id) used as the owner mark of an
// UnfairLock. Cached in thread-local storage on first use; reset in the child
// after fork().
extern thread_local constinit std::uint32_t tlsThreadTag __attribute__((tls_model("initial-exec")));
std::uint32_t initThreadTag() noexcept;

inline std::uint32_t currentThreadTag() noexcept {
  const std::uint32_t tag = tlsThreadTag;
  return tag != 0 ? tag : initThreadTag();
}

}  // namespace detail

class UnfairLock;

namespace detail {
// For the executor's fork handler only: in the child, a lock that the forking
// thread took before fork() carries its parent-side owner mark; this frees it.
void forceUnlockAfterFork(UnfairLock& lock) noexcept;
}  // namespace detail

// A small, fast, non-recursive and unfair lock for short critical sections.
//
//   mornik::UnfairLock lock;
//   int total = lock.locked([&] { return ++counter; });
//
// The lock is one 32-bit word in a heap allocation of its own, so the address
// the waiters sleep on never changes when the owning object moves. Uncontended
// lock and unlock are one atomic instruction each. A contended caller spins
// briefly, then sleeps on the word (futex) until the holder releases it; who
// gets the lock next is not ordered (no fairness).
//
// The word holds the owner's thread id while locked. Taking the lock again on
// the thread that holds it, or unlocking it from a thread that does not hold
// it, is a programming error: the process aborts with a message saying so
// instead of deadlocking or corrupting the lock.
//
// Thread safety: lock, unlock, try_lock and locked may be called from any
// thread. Moving a lock is legal only while no thread holds or waits for it;
// a moved-from lock may only be destroyed or assigned to.
class MORNIK_CAPABILITY("mutex") UnfairLock final : public LockingProtocol {
 public:
  UnfairLock();
  ~UnfairLock() override;
  UnfairLock(UnfairLock&& other) noexcept;
  UnfairLock& operator=(UnfairLock&& other) noexcept;
  UnfairLock(const UnfairLock&) = delete;
  UnfairLock& operator=(const UnfairLock&) = delete;

  void lock() override MORNIK_ACQUIRE() {
    const std::uint32_t self = detail::currentThreadTag();
    std::uint32_t expected = 0;
    if (!word_->compare_exchange_strong(expected, self, std::memory_order_acquire,
                                        std::memory_order_relaxed)) {
      lockSlow(self, expected);
    }
  }

  bool try_lock() override MORNIK_TRY_ACQUIRE(true) {  // NOLINT(readability-identifier-naming)
    std::uint32_t expected = 0;
    return word_->compare_exchange_strong(expected, detail::currentThreadTag(),
                                          std::memory_order_acquire, std::memory_order_relaxed);
  }

  void unlock() override MORNIK_RELEASE() {
    const std::uint32_t previous = word_->exchange(0, std::memory_order_release);
    if (previous != detail::currentThreadTag()) unlockSlow(previous);
  }

  // Runs `block` under the lock and returns its result; the lock is released
  // on every path, and an exception from the block reaches the caller.
  template <class F>
  std::invoke_result_t<F&> locked(F&& block) MORNIK_EXCLUDES(this) {
    detail::ScopedLock<UnfairLock> guard(*this);
    return std::invoke(block);
  }

  // Whether some thread holds the lock right now (a snapshot, for assertions).
  bool isLocked() const noexcept { return word_->load(std::memory_order_relaxed) != 0; }

 private:
  friend void detail::forceUnlockAfterFork(UnfairLock& lock) noexcept;
  void lockSlow(std::uint32_t self, std::uint32_t seen);
  void unlockSlow(std::uint32_t previous);

  std::unique_ptr<std::atomic<std::uint32_t>> word_;
};

}  // namespace mornik

MORNIK_EXPORTS_END
