#pragma once

#include <any>
#include <concepts>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/base/TypeKey.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::detail {
template <class T>
inline constexpr bool kIsResult = false;
template <class T>
inline constexpr bool kIsResult<Result<T>> = true;
// A value an Aux::Set stores as is (a Result goes through its Result forms).
template <class T>
concept SetValue = !kIsResult<std::decay_t<T>>;
}  // namespace mornik::detail

namespace mornik::Aux {

// A small bag of values of different types, each stored under its type or
// under a text key, so that several results of different kinds travel
// through one value (a chain of Results, say) and are read back by type.
//
//   Aux::Set found = Aux::Set(42).with(std::string("readme.md")).with("owner", Owner{"ada"});
//   found.get<int>();                   // 42
//   found.get<std::string>();           // "readme.md"
//   found.get<Owner>("owner");          // Owner{"ada"}
//   found.get<double>();                // none: nothing stored under double
//   found.get<int>("owner");            // none: "owner" holds an Owner
//
// Every with() returns a new set and leaves the one it was called on
// unchanged. A second value under the same key (the same type, or the same
// text) replaces the first. Keys by type and keys by text never collide, and
// distinct types are distinct keys. A read of a missing key, or of a key
// holding another type, answers none. Text literals are stored as
// std::string.
//
// Thread safety: a value; copies share the stored values, which are never
// changed, so copies may be used from any thread.
class Set {
  template <class T>
  using Stored = std::conditional_t<std::is_same_v<std::decay_t<T>, const char*> ||
                                        std::is_same_v<std::decay_t<T>, char*>,
                                    std::string, std::decay_t<T>>;

 public:
  Set() = default;
  // A set holding `value` under its type.
  template <detail::SetValue T>
    requires(!std::same_as<std::decay_t<T>, Set>)
  explicit Set(T&& value) {
    put(Flow::TypeKey::of<Stored<T>>(), std::forward<T>(value));
  }

  // A copy with `value` under its type.
  template <detail::SetValue T>
  Set with(T&& value) const {
    Set copy = *this;
    copy.put(Flow::TypeKey::of<Stored<T>>(), std::forward<T>(value));
    return copy;
  }
  // A copy with `value` under the text `key`.
  template <detail::SetValue T>
  Set with(std::string key, T&& value) const {
    Set copy = *this;
    copy.put(std::move(key), std::forward<T>(value));
    return copy;
  }
  // The success value stored as by with(value); a failure passes through.
  template <class T>
  Result<Set> with(const Result<T>& result) const {
    if (result.isFailure()) return result.error();
    return with(result.value());
  }
  template <class T>
  Result<Set> with(std::string key, const Result<T>& result) const {
    if (result.isFailure()) return result.error();
    return with(std::move(key), result.value());
  }

  // The value stored under type T, if it is a T.
  template <class T>
  std::optional<T> get() const {
    return read<T>(Flow::TypeKey::of<T>());
  }
  // The value stored under the text `key`, if it is a T.
  template <class T>
  std::optional<T> get(std::string key) const {
    return read<T>(std::move(key));
  }

  std::size_t size() const noexcept { return objects_.size(); }

 private:
  using Key = std::variant<Flow::TypeKey, std::string>;

  template <class T>
  void put(Key key, T&& value) {
    objects_.insert_or_assign(
        std::move(key),
        std::make_shared<const std::any>(std::in_place_type<Stored<T>>, std::forward<T>(value)));
  }

  template <class T>
  std::optional<T> read(const Key& key) const {
    const auto found = objects_.find(key);
    if (found == objects_.end()) return std::nullopt;
    if (const T* value = std::any_cast<T>(found->second.get())) return *value;
    return std::nullopt;
  }

  std::unordered_map<Key, std::shared_ptr<const std::any>> objects_;
};

}  // namespace mornik::Aux

MORNIK_EXPORTS_END
