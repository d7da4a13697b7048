#pragma once

#include <concepts>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/LockingProtocol.hpp"
#include "mornik/concurrency/MutexRecursiveLock.hpp"
#include "mornik/concurrency/UnfairLock.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// A member object whose reads and writes each run under a lock of the kind
// chosen at construction (there is no default).
//
//   struct Cache {
//     mornik::Locked<int> hits{0, mornik::LockType::recursive};
//   };
//   cache.hits.modify([](int& n) { ++n; });  // in place, under the lock
//   int now = cache.hits;                    // a locked read
//
// `get`, `set`, assignment, the implicit read and `modify` each take the lock
// once. `projected()` is the stored value itself, without the lock (the
// counterpart of a wrapper's projected value). `lock()` gives the lock, so a
// caller can group several operations; with LockType::recursive the owning
// thread may take it again from inside, with LockType::unfair that aborts.
//
// Copying shares the lock (copies serialise against each other) and copies
// the value under it.
//
// Thread safety: all members except `projected` and assignment of the whole
// object may be called concurrently from any thread.
template <class T>
class Locked {
 public:
  Locked(T value, LockType type) : lock_(makeLock(type)), value_(std::move(value)) {}

  Locked(const Locked& other) : lock_(other.lock_), value_(other.get()) {}
  Locked& operator=(const Locked& other) {
    if (this != &other) {
      T copy = other.get();
      lock_ = other.lock_;
      set(std::move(copy));
    }
    return *this;
  }
  ~Locked() = default;

  // A locked read.
  T get() const {
    detail::ScopedLock<LockingProtocol> guard(*lock_);
    return value_;
  }
  operator T() const { return get(); }  // NOLINT(google-explicit-constructor)

  // A locked write.
  void set(T value) {
    detail::ScopedLock<LockingProtocol> guard(*lock_);
    value_ = std::move(value);
  }
  Locked& operator=(T value) {
    set(std::move(value));
    return *this;
  }

  // Changes the value in place under the lock; returns the block's result.
  template <class F>
    requires std::invocable<F&, T&>
  std::decay_t<std::invoke_result_t<F&, T&>> modify(F&& change) {
    detail::ScopedLock<LockingProtocol> guard(*lock_);
    return std::invoke(change, value_);
  }

  // The stored value, without the lock.
  T& projected() { return value_; }
  const T& projected() const { return value_; }

  // The lock guarding the value.
  LockingProtocol& lock() const { return *lock_; }

 private:
  static std::shared_ptr<LockingProtocol> makeLock(LockType type) {
    if (type == LockType::recursive) return std::make_shared<MutexRecursiveLock>();
    return std::make_shared<UnfairLock>();
  }

  std::shared_ptr<LockingProtocol> lock_;
  T value_;
};

}  // namespace mornik

MORNIK_EXPORTS_END
