#pragma once

#include <concepts>
#include <functional>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/UnfairLock.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// A cache filled on demand: `dic` holds the values computed so far and
// `getter` computes a missing one. A plain value: guard it with its owner's
// lock (ThreadSafeAccess::cache) or a LockedVar.
//
// `Produced` is what the getter returns: the value itself, or a fallible
// wrapper of it (anything with isFailure() and value(), such as
// Result<V>: see ResultLazyDic), whose failures are returned and never stored.
template <class K, class V, class Produced = V>
struct LazyDic {
  LazyDic(std::unordered_map<K, V> dic, std::function<Produced(const K&)> getter)
      : dic(std::move(dic)), getter(std::move(getter)) {}

  std::unordered_map<K, V> dic;
  std::function<Produced(const K&)> getter;
};

// Lock-guarded access to the properties of an object that owns one
// UnfairLock, named `locker`, guarding several of its properties:
//
//   class Session : public mornik::ThreadSafeAccess<Session> {
//    public:
//     mutable mornik::UnfairLock locker;
//     std::string user;
//     std::vector<int> scores;
//   };
//   session.write(&Session::scores, [](auto& s) { s.push_back(3); });
//   auto user = session.read(&Session::user);
//
// A property is named by a member pointer, or by any callable that maps the
// owner to a reference to the property. Blocks run under the lock unless an
// operation says otherwise; the lock is not recursive, so a block must not
// call another of these operations on the same owner.
//
// Thread safety: every operation may be called from any thread; they are
// exactly as safe as the discipline of touching the guarded properties only
// through them.
template <class Owner>
class ThreadSafeAccess {
 public:
  // The property's value, read under the lock.
  template <class P>
  auto read(P property) const {
    Guard guard(lockOf());
    return std::remove_cvref_t<decltype(get(property))>(get(property));
  }

  // `block(property)` under the lock; its result is returned.
  template <class P, class F>
  auto read(P property, F&& block) const {
    Guard guard(lockOf());
    return std::invoke(block, std::as_const(get(property)));
  }

  // The value at `subPath` (a member pointer or callable) of the property's
  // value, read under the lock.
  template <class P, class S>
  auto readAt(P property, S subPath) const {
    Guard guard(lockOf());
    return std::remove_cvref_t<decltype(std::invoke(subPath, get(property)))>(
        std::invoke(subPath, get(property)));
  }

  // `block(property&)` modifies the property in place under the lock; its
  // result is returned.
  template <class P, class F>
  auto write(P property, F&& block) {
    Guard guard(lockOf());
    return std::invoke(block, get(property));
  }

  // Reads the property under the lock, calls `block` outside the lock, then
  // writes its result under the lock: two critical sections, so a write made
  // by another thread in between is overwritten.
  template <class P, class F>
  void map(P property, F&& block) {
    auto value = read(property);
    auto changed = std::invoke(block, std::move(value));
    Guard guard(lockOf());
    get(property) = std::move(changed);
  }

  // The value for `key` of a LazyDic property. The lookup and the store take
  // the lock; the getter runs outside it, so threads missing the same key at
  // once may each compute it (the last store wins). With a fallible getter a
  // failure is returned and nothing is stored, so the next call tries again.
  template <class K, class V, class Produced>
  Produced cache(LazyDic<K, V, Produced> Owner::*property, const K& key) {
    std::function<Produced(const K&)> getter;
    {
      Guard guard(lockOf());
      auto& lazy = get(property);
      if (auto found = lazy.dic.find(key); found != lazy.dic.end()) {
        return Produced(found->second);
      }
      getter = lazy.getter;
    }
    Produced produced = getter(key);
    if constexpr (requires { produced.isFailure(); }) {
      if (produced.isFailure()) return produced;
      Guard guard(lockOf());
      get(property).dic.insert_or_assign(key, produced.value());
    } else {
      Guard guard(lockOf());
      get(property).dic.insert_or_assign(key, produced);
    }
    return produced;
  }

 protected:
  ThreadSafeAccess() = default;

  using Guard = detail::ScopedLock<UnfairLock>;

  UnfairLock& lockOf() const { return static_cast<const Owner&>(*this).locker; }

  template <class P>
  decltype(auto) get(P property) const {
    return std::invoke(property, const_cast<Owner&>(static_cast<const Owner&>(*this)));
  }
};

// Both names: classes and structs behave alike in C++, so one mixin serves
// both.
template <class Owner>
using ThreadSafeAccessClass = ThreadSafeAccess<Owner>;
template <class Owner>
using ThreadSafeAccessStruct = ThreadSafeAccess<Owner>;

}  // namespace mornik

MORNIK_EXPORTS_END
