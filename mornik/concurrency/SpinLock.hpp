#pragma once

#include <atomic>
#include <thread>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/ThreadAnnotations.hpp"
#include "mornik/concurrency/detail/Futex.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::detail {

// Waits until `done()` holds, for another thread's few instructions:
// spins briefly, then yields its processor between looks.
template <class F>
void spinUntil(F&& done) noexcept(noexcept(done())) {
  for (int round = 0; !done(); ++round) {
    if (round < 64) {
      cpuRelax();
    } else {
      std::this_thread::yield();
    }
  }
}

// A lock for critical sections of a few dozen instructions that run very
// often (a signal's update): taking it is one atomic exchange and releasing
// it one plain store, where UnfairLock spends an atomic instruction on each.
// A contended caller spins briefly, then yields its processor until the lock
// is free; nobody ever sleeps on it, so it must guard only short sections
// that never wait for anything. Not recursive.
//
// Thread safety: lock, unlock and try_lock may be called from any thread.
class MORNIK_CAPABILITY("mutex") SpinLock {
 public:
  SpinLock() = default;
  SpinLock(const SpinLock&) = delete;
  SpinLock& operator=(const SpinLock&) = delete;

  void lock() noexcept MORNIK_ACQUIRE() {
    if (!locked_.exchange(true, std::memory_order_acquire)) return;
    lockSlow();
  }

  bool try_lock() noexcept MORNIK_TRY_ACQUIRE(true) {  // NOLINT(readability-identifier-naming)
    return !locked_.load(std::memory_order_relaxed) &&
           !locked_.exchange(true, std::memory_order_acquire);
  }

  void unlock() noexcept MORNIK_RELEASE() { locked_.store(false, std::memory_order_release); }

 private:
  void lockSlow() noexcept {
    for (int round = 0;; ++round) {
      while (locked_.load(std::memory_order_relaxed)) {
        if (round < 64) {
          cpuRelax();
        } else {
          std::this_thread::yield();
        }
        ++round;
      }
      if (!locked_.exchange(true, std::memory_order_acquire)) return;
    }
  }

  std::atomic<bool> locked_{false};
};

}  // namespace mornik::detail

MORNIK_EXPORTS_END
