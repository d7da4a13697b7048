#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// A 128-bit universally unique identifier.
//
//   mornik::UUID id = mornik::UUID::random();
//   id.uuidString();  // "1B4E28BA-2FA1-4D2E-883F-0016D3CCA427"
//
// `random()` makes a version-4 UUID: 122 random bits with the version and
// variant fields set. The bits come from a ChaCha20 stream per thread, keyed
// from the kernel's random source (getrandom) when the thread first asks and
// again after every 2^20 blocks and after fork(), so making an identifier
// costs nanoseconds, not a system call.
//
// Thread safety: a UUID is an immutable value; random() may be called from
// any thread.
class UUID {
 public:
  using Bytes = std::array<std::uint8_t, 16>;

  // The nil UUID (all zero).
  constexpr UUID() noexcept = default;
  explicit constexpr UUID(const Bytes& bytes) noexcept : bytes_(bytes) {}

  // A fresh random (version 4) UUID.
  static UUID random() noexcept;

  // Parses the canonical text form (8-4-4-4-12 hexadecimal digits, either
  // case); none for anything else.
  static std::optional<UUID> fromString(std::string_view text) noexcept;

  const Bytes& bytes() const noexcept { return bytes_; }
  // The version field (4 for random UUIDs).
  int version() const noexcept { return bytes_[6] >> 4; }

  // The canonical text form in upper case.
  std::string uuidString() const;

  friend constexpr bool operator==(const UUID&, const UUID&) noexcept = default;
  friend constexpr auto operator<=>(const UUID&, const UUID&) noexcept = default;

 private:
  Bytes bytes_{};
};

namespace detail {
// One ChaCha20 block (RFC 8439): 64 bytes of keystream for a 256-bit key, a
// 32-bit block counter and a 96-bit nonce. Exposed for its test vectors.
void chacha20Block(const std::array<std::uint32_t, 8>& key, std::uint32_t counter,
                   const std::array<std::uint32_t, 3>& nonce,
                   std::array<std::uint8_t, 64>& out) noexcept;
// The blocks for counter, counter + 1, counter + 2 and counter + 3, in order.
void chacha20Blocks4(const std::array<std::uint32_t, 8>& key, std::uint32_t counter,
                     const std::array<std::uint32_t, 3>& nonce,
                     std::array<std::uint8_t, 256>& out) noexcept;
}  // namespace detail

}  // namespace mornik

template <>
struct std::hash<mornik::UUID> {
  std::size_t operator()(const mornik::UUID& id) const noexcept {
    // The bytes are random: any 64 of them make a good hash.
    std::size_t value = 0;
    for (std::size_t i = 0; i < sizeof(value); ++i) {
      value = (value << 8) | (id.bytes()[i] ^ id.bytes()[i + 8]);
    }
    return value;
  }
};

MORNIK_EXPORTS_END
