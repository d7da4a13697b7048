#pragma once

#include <functional>
#include <type_traits>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/ThreadAnnotations.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// The kind of lock a `Locked<T>` creates.
enum class LockType {
  unfair,     // UnfairLock: fast, not recursive.
  recursive,  // MutexRecursiveLock: its owner may take it again.
};

// The interface shared by the library's locks: a block run under the lock.
//
// `locked(block)` takes the lock, runs the block and releases the lock on every
// path; an exception thrown by the block reaches the caller unchanged, after
// the release. The block's result is returned.
//
// Every lock also meets the standard Lockable requirements (lock, unlock,
// try_lock), so std::lock_guard and std::unique_lock work with it.
//
// Calls through this interface are virtual; the concrete lock classes repeat
// `locked` non-virtually so that direct use costs no indirect call.
class MORNIK_CAPABILITY("mutex") LockingProtocol {
 public:
  virtual ~LockingProtocol() = default;

  virtual void lock() MORNIK_ACQUIRE() = 0;
  virtual void unlock() MORNIK_RELEASE() = 0;
  virtual bool try_lock() MORNIK_TRY_ACQUIRE(true) = 0;  // NOLINT(readability-identifier-naming)

  template <class F>
  std::invoke_result_t<F&> locked(F&& block) MORNIK_EXCLUDES(this);

 protected:
  LockingProtocol() = default;
  LockingProtocol(const LockingProtocol&) = default;
  LockingProtocol& operator=(const LockingProtocol&) = default;
};

namespace detail {

// Releases a lock when it leaves scope; used by every `locked` implementation.
template <class L>
class MORNIK_SCOPED_CAPABILITY ScopedLock {
 public:
  explicit ScopedLock(L& lock) MORNIK_ACQUIRE(lock) : lock_(lock) { lock_.lock(); }
  ~ScopedLock() MORNIK_RELEASE() { lock_.unlock(); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  L& lock_;
};

}  // namespace detail

template <class F>
std::invoke_result_t<F&> LockingProtocol::locked(F&& block) {
  detail::ScopedLock<LockingProtocol> guard(*this);
  return std::invoke(block);
}

}  // namespace mornik

MORNIK_EXPORTS_END
