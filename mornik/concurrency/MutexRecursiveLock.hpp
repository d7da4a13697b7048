#pragma once

#include <functional>
#include <type_traits>

#include <pthread.h>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/LockingProtocol.hpp"
#include "mornik/concurrency/ThreadAnnotations.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// A recursive mutex: the thread that holds it may take it again, and must
// release it as many times as it took it.
//
//   mornik::MutexRecursiveLock lock;
//   lock.locked([&] { lock.locked([&] { ++depth; }); });  // no deadlock
//
// Backed by a POSIX mutex of type PTHREAD_MUTEX_RECURSIVE stored inline; the
// object can therefore be neither copied nor moved.
//
// Thread safety: every member may be called from any thread. Unlocking from a
// thread that does not hold the lock is a programming error and aborts.
class MORNIK_CAPABILITY("mutex") MutexRecursiveLock final : public LockingProtocol {
 public:
  MutexRecursiveLock();
  ~MutexRecursiveLock() override;
  MutexRecursiveLock(const MutexRecursiveLock&) = delete;
  MutexRecursiveLock& operator=(const MutexRecursiveLock&) = delete;

  void lock() override MORNIK_ACQUIRE();
  void unlock() override MORNIK_RELEASE();
  bool try_lock() override MORNIK_TRY_ACQUIRE(true);  // NOLINT(readability-identifier-naming)

  // Runs `block` under the lock and returns its result; the lock is released
  // on every path, and an exception from the block reaches the caller.
  template <class F>
  std::invoke_result_t<F&> locked(F&& block) {
    detail::ScopedLock<MutexRecursiveLock> guard(*this);
    return std::invoke(block);
  }

 private:
  pthread_mutex_t mutex_;
};

}  // namespace mornik

MORNIK_EXPORTS_END
