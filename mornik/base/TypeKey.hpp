#pragma once

#include <cstddef>
#include <functional>
#include <type_traits>
#include <typeindex>
#include <typeinfo>

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::Flow {

// The identity of a static type, as a value: what the type-keyed hubs
// (SignalsService, Notifications) file their entries under.
//
//   TypeKey::of<Temperature>() == TypeKey::of<Temperature>();  // always
//   TypeKey::of<Temperature>() != TypeKey::of<Pressure>();     // always
//
// Two keys are equal exactly when they name the same type: the key is the
// type's identity itself, not a hash of it, so distinct types never share
// an entry. The same type gives equal keys in every library and module of
// the process. Keys name unqualified types only (no const, no reference).
//
// Thread safety: an immutable value.
class TypeKey {
 public:
  template <class T>
  static TypeKey of() noexcept {
    static_assert(std::is_same_v<T, std::remove_cvref_t<T>>,
                  "a type key names a type without const or reference");
    return TypeKey(typeid(T));
  }

  // A hash of the identity, for hashed containers.
  std::size_t hashValue() const noexcept { return index_.hash_code(); }
  friend bool operator==(const TypeKey&, const TypeKey&) noexcept = default;

 private:
  explicit TypeKey(const std::type_info& type) noexcept : index_(type) {}

  std::type_index index_;
};

}  // namespace mornik::Flow

template <>
struct std::hash<mornik::Flow::TypeKey> {
  std::size_t operator()(const mornik::Flow::TypeKey& key) const noexcept {
    return key.hashValue();
  }
};

MORNIK_EXPORTS_END
