#pragma once

#include <atomic>
#include <cstdint>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/SpinLock.hpp"
#include "mornik/concurrency/ThreadAnnotations.hpp"
#include "mornik/concurrency/UnfairLock.hpp"
#include "mornik/flow/signal/detail/EveryThreadFence.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::detail {

// The steps of a SignalLock where a test can hold a thread, to force the
// interleavings that the lock's handshake is there for.
enum class SignalLockStep : std::uint8_t {
  ownerEntering,   // the owner found the lock biased to it and is about to enter
  ownerFellBack,   // the owner found the bias withdrawn and takes the spin lock
  withdrawerWaits  // the bias is withdrawn; the owner is still inside
};
inline std::atomic<void (*)(SignalLockStep)> signalLockSeam{nullptr};

// A signal's lock, biased to the first thread that takes it. A signal is
// mostly updated, again and again, from one thread; that thread takes and
// releases this lock with plain stores and loads, where a spin lock spends an
// atomic exchange: the few nanoseconds of a locked instruction that are a
// good share of handing one value to one handler.
//
// The first other thread to take the lock withdraws the bias for good: it
// marks the lock unbiased, makes every thread of the process execute a full
// memory barrier (fenceEveryThread()), and waits for the owner to leave a
// critical section it may be in; from then on every thread, the owner
// included, takes the spin lock inside. The barrier costs microseconds, once
// per lock, as a signal's release already does once. Where the kernel offers
// no such barrier the lock is the spin lock from the start.
//
// Why plain stores suffice for the owner: it marks itself inside, then looks
// at the bias; the withdrawing thread marks the bias gone, fences every
// thread, then looks for the owner inside. The process-wide barrier orders
// the owner's store before its load as a fence of its own would, so either
// the owner sees the bias gone and falls back, or the withdrawing thread sees
// the owner inside and waits for it to leave.
//
// Owners are told apart by kernel thread id. Not recursive.
//
// Thread safety: lock and unlock may be called from any thread.
class MORNIK_CAPABILITY("mutex") SignalLock {
 public:
  SignalLock() = default;
  SignalLock(const SignalLock&) = delete;
  SignalLock& operator=(const SignalLock&) = delete;

  void lock() noexcept MORNIK_ACQUIRE() {
    const std::uint32_t self = currentThreadTag();
    if (owner_.load(std::memory_order_relaxed) == self && enterAsOwner(self)) return;
    lockSlow(self);
  }

  // The analysis cannot follow a lock that is taken one of two ways.
  void unlock() noexcept MORNIK_RELEASE() MORNIK_NO_THREAD_SAFETY_ANALYSIS {
    if (heldAsOwner_) {
      ownerInside_.store(false, std::memory_order_release);
    } else {
      spin_.unlock();
    }
  }

 private:
  static constexpr std::uint32_t kNobody = 0;      // nobody took the lock yet
  static constexpr std::uint32_t kUnbiased = ~0U;  // no thread id is all ones

  static void step(SignalLockStep at) noexcept {
    if (auto* seam = signalLockSeam.load(std::memory_order_relaxed)) seam(at);
  }

  bool enterAsOwner(std::uint32_t self) noexcept {
    step(SignalLockStep::ownerEntering);
    ownerInside_.store(true, std::memory_order_relaxed);
    std::atomic_signal_fence(std::memory_order_seq_cst);  // the withdrawer fences for us
    if (owner_.load(std::memory_order_acquire) == self) {
      heldAsOwner_ = true;
      return true;
    }
    ownerInside_.store(false, std::memory_order_release);
    step(SignalLockStep::ownerFellBack);
    return false;
  }

  void lockSlow(std::uint32_t self) noexcept MORNIK_NO_THREAD_SAFETY_ANALYSIS {
    std::uint32_t owner = owner_.load(std::memory_order_acquire);
    if (owner == kNobody) {
      const std::uint32_t claim = fencesEveryThread() ? self : kUnbiased;
      if (owner_.compare_exchange_strong(owner, claim, std::memory_order_acq_rel) &&
          claim == self && enterAsOwner(self)) {
        return;
      }
    }
    spin_.lock();
    withdrawBias();
    heldAsOwner_ = false;
  }

  // Under the spin lock: the bias, if there still is one, goes for good.
  void withdrawBias() noexcept {
    const std::uint32_t owner = owner_.load(std::memory_order_relaxed);
    if (owner == kUnbiased) return;
    owner_.store(kUnbiased, std::memory_order_relaxed);
    fenceEveryThread();
    if (!ownerInside_.load(std::memory_order_acquire)) return;
    step(SignalLockStep::withdrawerWaits);
    spinUntil([this] { return !ownerInside_.load(std::memory_order_acquire); });
  }

  std::atomic<std::uint32_t> owner_{kNobody};
  std::atomic<bool> ownerInside_{false};  // written by the owner only
  bool heldAsOwner_ = false;              // written by whoever holds the lock
  SpinLock spin_;
};

}  // namespace mornik::detail

MORNIK_EXPORTS_END
