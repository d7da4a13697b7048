#pragma once

#include <string>

#include <gmock/gmock.h>

#include "mornik/crypto/SymmetricKey.hpp"

namespace mornik::test {

inline Data hexBytes(std::string_view hex) {
  Data bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(
        static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return bytes;
}
inline std::string hexText(std::span<const std::uint8_t> bytes) {
  std::string text;
  for (auto b : bytes) text += std::string{"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
  return text;
}
inline std::span<const std::uint8_t> asBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// A failed Result with this Crypto error code.
MATCHER_P(FailedWithCrypto, code, "fails with Crypto error " + testing::PrintToString(int(code))) {
  if (arg.isSuccess()) return false;
  *result_listener << "fails with " << arg.error().detailedDescription();
  return arg.error().is(kCryptoErrorDomain, static_cast<std::int64_t>(code));
}

}  // namespace mornik::test
