#pragma once

#include <concepts>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <ranges>
#include <type_traits>
#include <utility>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/UnfairLock.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

namespace detail {

// Member types of the guarded value, or NoType when it has none, so that the
// dictionary, set and array members of LockedVar can be declared for any T.
struct NoType {};
template <class T>
struct KeyOf {
  using type = NoType;
};
template <class T>
  requires requires { typename T::key_type; }
struct KeyOf<T> {
  using type = typename T::key_type;
};
template <class T>
struct MappedOf {
  using type = NoType;
};
template <class T>
  requires requires { typename T::mapped_type; }
struct MappedOf<T> {
  using type = typename T::mapped_type;
};
template <class T>
struct ValueOf {
  using type = NoType;
};
template <class T>
  requires requires { typename T::value_type; }
struct ValueOf<T> {
  using type = typename T::value_type;
};

template <class T>
concept DictionaryLike = requires {
  typename T::key_type;
  typename T::mapped_type;
} && requires(T& t, const typename T::key_type& key) {
  t.find(key);
  t.erase(key);
  t.insert_or_assign(key, std::declval<typename T::mapped_type>());
};

template <class T>
concept SetLike = requires {
  typename T::key_type;
  typename T::value_type;
} && !requires { typename T::mapped_type; } && requires(T& t, const typename T::key_type& key) {
  t.insert(key);
  t.find(key);
  t.extract(key);
};

template <class T>
concept ArrayLike = std::ranges::random_access_range<T> && !DictionaryLike<T> && !SetLike<T> &&
                    requires(T& t, std::size_t i) {
                      typename T::value_type;
                      t[i] = std::declval<typename T::value_type>();
                      t.size();
                    };

}  // namespace detail

// The proxy returned by a LockedVar's subscript (a dictionary key or an
// array index): read as an optional, assign an optional, or modify with a
// locked read, the change on a copy, and a locked write (two steps).
template <class Owner, class Index, class Value>
class LockedSlot {
 public:
  std::optional<Value> get() const { return owner_.get(index_); }
  operator std::optional<Value>() const { return get(); }  // NOLINT(google-explicit-constructor)

  LockedSlot& operator=(std::optional<Value> value) {
    owner_.set(index_, std::move(value));
    return *this;
  }

  template <class F>
    requires std::invocable<F&, std::optional<Value>&>
  void modify(F&& change) {
    std::optional<Value> value = owner_.get(index_);
    std::invoke(change, value);
    owner_.set(index_, std::move(value));
  }

 private:
  friend Owner;
  LockedSlot(Owner& owner, Index index) : owner_(owner), index_(std::move(index)) {}

  Owner& owner_;
  Index index_;
};

// The outcome of `LockedVar<Set>::insert`: whether the member was new, and the
// member the set holds afterwards (the one already present if it was not).
template <class E>
struct SetInsertResult {
  bool inserted;
  E memberAfterInsert;
  friend bool operator==(const SetInsertResult&, const SetInsertResult&) = default;
};

// A value reachable only under a lock: every operation takes the lock, does
// one short piece of work on the value, releases the lock and returns.
//
//   mornik::LockedVar<std::map<std::string, int>> counts{{}};
//   counts.access([](auto& m) { ++m["apples"]; });
//   int apples = counts.read([](const auto& m) { return m.at("apples"); });
//
// The lock is always an UnfairLock: not recursive, so a block given to `read`,
// `access` or `item` must not touch the same LockedVar again (that aborts),
// must not wait for a thread that needs this lock, and should be short. There
// is no reader/writer distinction. Results are copied out while the lock is
// held, so nothing returned refers into the guarded value.
//
// Copying a LockedVar copies the value (read under the source's lock) and
// shares the source's lock: copies serialise against each other. A moved-from
// LockedVar keeps its lock and holds a moved-from value.
//
// Thread safety: all members except `wrapped` and assignment of the whole
// LockedVar may be called concurrently from any thread. `wrapped` bypasses the
// lock, for phases where the caller knows no other thread is active.
template <class T>
class LockedVar {
 public:
  using Value = T;
  using Key = typename detail::KeyOf<T>::type;
  using Mapped = typename detail::MappedOf<T>::type;
  using ElementValue = typename detail::ValueOf<T>::type;

  LockedVar()
    requires std::default_initializable<T>
      : LockedVar(T{}) {}
  explicit LockedVar(T value)
      : locker_(std::make_shared<UnfairLock>()), variable_(std::move(value)) {}

  LockedVar(const LockedVar& other) : locker_(other.locker_), variable_(other.read()) {}
  LockedVar(LockedVar&& other) noexcept(std::is_nothrow_move_constructible_v<T>)
      : locker_(other.locker_), variable_(other.take()) {}
  LockedVar& operator=(const LockedVar& other) {
    if (this != &other) {
      T copy = other.read();
      locker_ = other.locker_;
      set(std::move(copy));
    }
    return *this;
  }
  LockedVar& operator=(LockedVar&& other) noexcept(
      std::is_nothrow_move_constructible_v<T>&& std::is_nothrow_move_assignable_v<T>) {
    if (this != &other) {
      T moved = other.take();
      locker_ = other.locker_;
      set(std::move(moved));
    }
    return *this;
  }
  ~LockedVar() = default;

  // A copy of the value, taken under the lock.
  T read() const {
    detail::ScopedLock<UnfairLock> guard(*locker_);
    return variable_;
  }

  // Runs `block` on the value under the lock and returns its result. `block`
  // may also be a member pointer of T (a key path): `read(&Point::x)`.
  template <class F>
    requires std::invocable<F&, const T&>
  std::decay_t<std::invoke_result_t<F&, const T&>> read(F&& block) const {
    detail::ScopedLock<UnfairLock> guard(*locker_);
    return std::invoke(block, std::as_const(variable_));
  }

  // Runs `block` with write access to the value under the lock and returns its
  // result. Compound updates (append, take and clear, test and set) go here.
  template <class F>
    requires std::invocable<F&, T&>
  std::decay_t<std::invoke_result_t<F&, T&>> access(F&& block) {
    detail::ScopedLock<UnfairLock> guard(*locker_);
    return std::invoke(block, variable_);
  }

  // Replaces the value under the lock.
  void set(T value) {
    detail::ScopedLock<UnfairLock> guard(*locker_);
    variable_ = std::move(value);
  }

  // The value without the lock. Only for code that knows no other thread is
  // touching this LockedVar (construction, tear-down, single-threaded phases).
  const T& wrapped() const { return variable_; }
  T& wrapped() { return variable_; }

  // `*lockedVar` is read().
  T operator*() const { return read(); }

  // `lockedVar *= value` replaces the value under the lock.
  LockedVar& operator*=(T value) {
    set(std::move(value));
    return *this;
  }

  // `target *= lockedVar` assigns a copy of the guarded value to `target`.
  friend T& operator*=(T& target, const LockedVar& source) {
    target = source.read();
    return target;
  }

  // ---- Dictionaries (std::map, std::unordered_map, ...) ----

  // `lockedVar[key]` on a dictionary: read it as an optional (the value, or
  // none when absent), assign an optional (none removes the key), or
  // `modify(change)`: one locked read into a temporary, `change` applied to the
  // temporary without the lock, then one locked write. The two steps take the
  // lock separately and are not atomic together; use `access` when they must be.
  using Entry = LockedSlot<LockedVar, Key, Mapped>;
  Entry operator[](const Key& key)
    requires detail::DictionaryLike<T>
  {
    return Entry(*this, key);
  }

  std::optional<Mapped> operator[](const Key& key) const
    requires detail::DictionaryLike<T>
  {
    return get(key);
  }

  // The value under `key`, or none.
  std::optional<Mapped> get(const Key& key) const
    requires detail::DictionaryLike<T>
  {
    detail::ScopedLock<UnfairLock> guard(*locker_);
    const auto found = variable_.find(key);
    if (found == variable_.end()) return std::nullopt;
    return found->second;
  }

  // Stores `value` under `key`, or removes the key when `value` is none.
  void set(const Key& key, std::optional<Mapped> value)
    requires detail::DictionaryLike<T>
  {
    detail::ScopedLock<UnfairLock> guard(*locker_);
    if (value) {
      variable_.insert_or_assign(key, std::move(*value));
    } else {
      variable_.erase(key);
    }
  }

  // The value under `key`; when absent, `block(key)` is called with the lock
  // held, its result stored under the key and returned. The block runs at most
  // once per absent key and must not touch this LockedVar.
  template <class F>
    requires detail::DictionaryLike<T> &&
             std::convertible_to<std::invoke_result_t<F&, const Key&>, Mapped>
  Mapped item(const Key& key, F&& block) {
    detail::ScopedLock<UnfairLock> guard(*locker_);
    auto found = variable_.find(key);
    if (found == variable_.end()) {
      found = variable_.insert_or_assign(key, std::invoke(block, key)).first;
    }
    return found->second;
  }

  // `item` under a second name.
  template <class F>
    requires detail::DictionaryLike<T>
  Mapped factory(const Key& key, F&& block) {
    return item(key, std::forward<F>(block));
  }

  // Whether the dictionary holds `key`, or the set holds the member `key`.
  bool contains(const Key& key) const
    requires detail::DictionaryLike<T> || detail::SetLike<T>
  {
    detail::ScopedLock<UnfairLock> guard(*locker_);
    return variable_.find(key) != variable_.end();
  }

  // ---- Sets (std::set, std::unordered_set, ...) ----

  // Inserts `member`; returns whether it was new and the member present after.
  SetInsertResult<ElementValue> insert(ElementValue member)
    requires detail::SetLike<T>
  {
    detail::ScopedLock<UnfairLock> guard(*locker_);
    auto [position, inserted] = variable_.insert(std::move(member));
    return {inserted, *position};
  }

  // Removes `member`; returns the removed member, or none if it was absent.
  std::optional<ElementValue> remove(const Key& member)
    requires detail::SetLike<T>
  {
    detail::ScopedLock<UnfairLock> guard(*locker_);
    auto node = variable_.extract(member);
    if (node.empty()) return std::nullopt;
    return std::move(node.value());
  }

  // ---- Arrays (std::vector, std::deque, ...) ----

  // `lockedVar[index]` on an array: read it as an optional (the element, or
  // none when the index is out of range; never traps), assign an optional
  // (replaces the element only when the index is in range and the value is
  // present: no append, no removal), or `modify(change)` as for dictionaries.
  using Element = LockedSlot<LockedVar, std::ptrdiff_t, ElementValue>;
  Element operator[](std::ptrdiff_t index)
    requires detail::ArrayLike<T>
  {
    return Element(*this, index);
  }

  std::optional<ElementValue> operator[](std::ptrdiff_t index) const
    requires detail::ArrayLike<T>
  {
    return get(index);
  }

  std::optional<ElementValue> get(std::ptrdiff_t index) const
    requires detail::ArrayLike<T>
  {
    detail::ScopedLock<UnfairLock> guard(*locker_);
    if (index < 0 || static_cast<std::size_t>(index) >= variable_.size()) return std::nullopt;
    return variable_[static_cast<std::size_t>(index)];
  }

  void set(std::ptrdiff_t index, std::optional<ElementValue> value)
    requires detail::ArrayLike<T>
  {
    if (!value) return;
    detail::ScopedLock<UnfairLock> guard(*locker_);
    if (index < 0 || static_cast<std::size_t>(index) >= variable_.size()) return;
    variable_[static_cast<std::size_t>(index)] = std::move(*value);
  }

 private:
  T take() {
    detail::ScopedLock<UnfairLock> guard(*locker_);
    return std::move(variable_);
  }

  std::shared_ptr<UnfairLock> locker_;
  T variable_;
};

}  // namespace mornik

MORNIK_EXPORTS_END
