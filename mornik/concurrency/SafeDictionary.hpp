#pragma once

#include <functional>
#include <optional>
#include <unordered_map>
#include <utility>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/LockedVar.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// A dictionary that creates missing entries on demand, under its lock.
//
//   mornik::SafeDictionary<std::string, Counter> counters(
//       [](const std::string& name) { return Counter(name); });
//   Counter c = counters["requests"];          // created on first use
//   counters.set("requests", Counter("reset"));
//
// Reading a missing key calls `factory(key)` with the lock held (once per
// missing key), stores the result and returns it. The factory must be quick
// and must not touch the same dictionary. `modify` is a get (creating the
// entry if missing) followed by a set: two critical sections, not atomic
// together.
//
// Thread safety: every member may be called from any thread. Copies share
// the lock, as copies of a LockedVar do.
template <class K, class V>
class SafeDictionary {
 public:
  explicit SafeDictionary(std::function<V(const K&)> factory) : factory_(std::move(factory)) {}

  // Get-or-create.
  V get(const K& key) { return dic_.item(key, factory_); }

  void set(const K& key, V value) { dic_.set(key, std::optional<V>(std::move(value))); }

  template <class F>
    requires std::invocable<F&, V&>
  void modify(const K& key, F&& change) {
    V value = get(key);
    std::invoke(change, value);
    set(key, std::move(value));
  }

  // `dictionary[key]`: read (get-or-create), assign, or modify.
  class Entry {
   public:
    operator V() const { return owner_.get(key_); }  // NOLINT(google-explicit-constructor)
    Entry& operator=(V value) {
      owner_.set(key_, std::move(value));
      return *this;
    }
    template <class F>
    void modify(F&& change) {
      owner_.modify(key_, std::forward<F>(change));
    }

   private:
    friend class SafeDictionary;
    Entry(SafeDictionary& owner, K key) : owner_(owner), key_(std::move(key)) {}
    SafeDictionary& owner_;
    K key_;
  };
  Entry operator[](const K& key) { return Entry(*this, key); }

  // The guarded dictionary itself.
  LockedVar<std::unordered_map<K, V>>& dic() { return dic_; }

 private:
  LockedVar<std::unordered_map<K, V>> dic_;
  const std::function<V(const K&)> factory_;
};

}  // namespace mornik

MORNIK_EXPORTS_END
