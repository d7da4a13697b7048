#pragma once

#include <compare>
#include <cstddef>
#include <functional>
#include <string>

#include "mornik/base/Export.hpp"
#include "mornik/base/UUID.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::Flow {

// The identity of one future: a random (version 4) UUID, made the first
// time the future is asked for it. No two futures share an id, also not a
// future and its clone. Equal and hashed by its one field; ordered so that it can key a
// std::map.
//
// Thread safety: an immutable value.
struct FutureID {
  UUID id;

  // A fresh identity.
  static FutureID fresh() noexcept { return FutureID{UUID::random()}; }

  std::string description() const { return id.uuidString(); }

  friend bool operator==(const FutureID&, const FutureID&) noexcept = default;
  friend auto operator<=>(const FutureID&, const FutureID&) noexcept = default;
};

}  // namespace mornik::Flow

template <>
struct std::hash<mornik::Flow::FutureID> {
  std::size_t operator()(const mornik::Flow::FutureID& id) const noexcept {
    return std::hash<mornik::UUID>()(id.id);
  }
};

MORNIK_EXPORTS_END
