#pragma once

#include <cassert>
#include <concepts>
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <ranges>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

// Small conveniences on dictionaries (std::map, std::unordered_map and
// anything shaped like them).
//
//   std::map<std::string, int> stock{{"apples", 3}};
//   mornik::item(stock, "apples", [](std::optional<int> n) { return n.value_or(0) + 1; });
//   mornik::remove(stock, "pears");                       // no-op: absent
//   auto zeroes = mornik::dictionaryWithVal(std::vector<std::string>{"a", "b"}, 0);
//   auto labels = mornik::mapValues(stock, [](const std::string& k, int n) {
//     return k + "=" + std::to_string(n);
//   });
//   mornik::diff(stock, other);                           // keys whose values differ
//
// Thread safety: pure functions of their arguments; the caller keeps the
// arguments unchanged (apart from the one being changed) during the call.

namespace mornik {

namespace detail {

template <class M>
concept Dictionary = requires {
  typename M::key_type;
  typename M::mapped_type;
} && requires(M& m, const typename M::key_type& key) {
  m.find(key);
  m.erase(key);
  m.insert_or_assign(key, std::declval<typename M::mapped_type>());
};

}  // namespace detail

// Removes the key when present.
template <detail::Dictionary M>
void remove(M& dictionary, const typename M::key_type& key) {
  dictionary.erase(key);
}

// Reads the value for the key (nothing when absent), lets `change` make the
// new value and stores it. `change` returns a value, or an optional where
// nothing removes the key.
template <detail::Dictionary M, class F>
  requires std::invocable<F&, std::optional<typename M::mapped_type>>
void item(M& dictionary, const typename M::key_type& key, F&& change) {
  using V = typename M::mapped_type;
  std::optional<V> current;
  if (auto found = dictionary.find(key); found != dictionary.end()) current = found->second;
  auto next = std::invoke(change, std::move(current));
  if constexpr (std::is_same_v<std::remove_cvref_t<decltype(next)>, std::optional<V>>) {
    if (next) {
      dictionary.insert_or_assign(key, *std::move(next));
    } else {
      dictionary.erase(key);
    }
  } else {
    dictionary.insert_or_assign(key, V(std::move(next)));
  }
}

// Every key of the sequence mapped to the same value. The keys must be
// unique (checked by an assertion in debug builds).
template <class M = void, std::ranges::input_range Keys, class V>
auto dictionaryWithVal(const Keys& keys, const V& value) {
  using K = std::ranges::range_value_t<Keys>;
  using Out = std::conditional_t<std::is_void_v<M>, std::unordered_map<K, V>, M>;
  Out out;
  for (const auto& key : keys) {
    [[maybe_unused]] const bool inserted = out.emplace(key, value).second;
    assert(inserted && "dictionaryWithVal: duplicate key");
  }
  return out;
}

// A dictionary of the same kind with every value transformed; `transform`
// takes (key, value), or only the value.
template <detail::Dictionary M, class F>
auto mapValues(const M& dictionary, F&& transform) {
  using K = typename M::key_type;
  using V = typename M::mapped_type;
  if constexpr (std::invocable<F&, const K&, const V&>) {
    using U = std::decay_t<std::invoke_result_t<F&, const K&, const V&>>;
    using Out = std::conditional_t<std::is_same_v<M, std::unordered_map<K, V>>,
                                   std::unordered_map<K, U>, std::map<K, U>>;
    Out out;
    for (const auto& [key, value] : dictionary)
      out.emplace(key, std::invoke(transform, key, value));
    return out;
  } else {
    using U = std::decay_t<std::invoke_result_t<F&, const V&>>;
    using Out = std::conditional_t<std::is_same_v<M, std::unordered_map<K, V>>,
                                   std::unordered_map<K, U>, std::map<K, U>>;
    Out out;
    for (const auto& [key, value] : dictionary) out.emplace(key, std::invoke(transform, value));
    return out;
  }
}

// The keys of `dictionary` whose value differs from `other`'s value for that
// key; a key that `other` lacks counts as different. Keys only `other` holds
// are not reported.
template <detail::Dictionary M, detail::Dictionary N>
  requires std::equality_comparable_with<typename M::mapped_type, typename N::mapped_type>
std::unordered_set<typename M::key_type> diff(const M& dictionary, const N& other) {
  std::unordered_set<typename M::key_type> keys;
  for (const auto& [key, value] : dictionary) {
    const auto found = other.find(key);
    if (found == other.end() || !(found->second == value)) keys.insert(key);
  }
  return keys;
}

// An estimate for caches: the number of entries times the size of one value
// object (sizeof, not counting what the value owns on the heap).
template <detail::Dictionary M>
std::size_t sizeInBytes(const M& dictionary) {
  return dictionary.size() * sizeof(typename M::mapped_type);
}

}  // namespace mornik

MORNIK_EXPORTS_END
