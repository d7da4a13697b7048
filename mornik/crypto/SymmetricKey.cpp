#include "mornik/crypto/SymmetricKey.hpp"

#include <algorithm>
#include <utility>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include "mornik/crypto/detail/Primitives.hpp"
#include "mornik/platform/HardwareAddress.hpp"

namespace mornik {

Error cryptoError(CryptoErrorCode code, const std::string& description) {
  return Error(std::string(kCryptoErrorDomain), static_cast<std::int64_t>(code),
               {{std::string(kLocalizedDescriptionKey), description}});
}

SymmetricKey::SymmetricKey(std::span<const std::uint8_t> bytes)
    : bytes_(bytes.begin(), bytes.end()) {}

SymmetricKey SymmetricKey::fromPassword(std::string_view password) {
  const std::string salt = deviceSalt();
  return fromPassword(password,
                      std::span(reinterpret_cast<const std::uint8_t*>(salt.data()), salt.size()));
}

SymmetricKey SymmetricKey::fromPassword(std::string_view password,
                                        std::span<const std::uint8_t> salt) {
  SymmetricKey key;
  auto derived =
      detail::pbkdf2Sha1(password, salt, detail::kPasswordRounds, detail::kDerivedKeyLength);
  if (derived.isSuccess()) {
    key.bytes_ = std::move(derived.value());
  } else {
    key.failure_ = derived.error();
  }
  return key;
}

std::optional<SymmetricKey> SymmetricKey::fromBase64Encoded(std::string_view text) {
  auto bytes = detail::base64Decode(text);
  if (!bytes) return std::nullopt;
  SymmetricKey key;
  key.bytes_ = std::move(*bytes);
  return key;
}

SymmetricKey::SymmetricKey(const SymmetricKey& other) = default;

SymmetricKey::SymmetricKey(SymmetricKey&& other) noexcept
    : bytes_(std::move(other.bytes_)), failure_(std::move(other.failure_)) {
  other.bytes_.clear();
}

SymmetricKey& SymmetricKey::operator=(const SymmetricKey& other) {
  if (this != &other) {
    detail::wipe(bytes_);
    bytes_ = other.bytes_;
    failure_ = other.failure_;
  }
  return *this;
}

SymmetricKey& SymmetricKey::operator=(SymmetricKey&& other) noexcept {
  if (this != &other) {
    detail::wipe(bytes_);
    bytes_ = std::move(other.bytes_);
    other.bytes_.clear();
    failure_ = std::move(other.failure_);
  }
  return *this;
}

SymmetricKey::~SymmetricKey() { detail::wipe(bytes_); }

std::string SymmetricKey::base64() const { return detail::base64Encode(bytes_); }

bool operator==(const SymmetricKey& a, const SymmetricKey& b) {
  // Sizes are not secret; the bytes are compared without an early exit.
  return a.bytes_.size() == b.bytes_.size() && a.failure_.has_value() == b.failure_.has_value() &&
         CRYPTO_memcmp(a.bytes_.data(), b.bytes_.data(), a.bytes_.size()) == 0;
}

std::string deviceSalt() {
  std::string text = formatHardwareAddress(HardwareAddressSource::shared()->primaryAddress());
  std::erase(text, ':');
  return text;
}

Data sha512(std::string_view text) {
  Data digest(SHA512_DIGEST_LENGTH);
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest.data(), &length, EVP_sha512(), nullptr);
  digest.resize(length);
  return digest;
}

}  // namespace mornik
