#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "mornik/base/Error.hpp"
#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

// Keys for sealing data (CryptoTav.hpp), made from a password or from
// stored key bytes.
//
//   auto key = mornik::SymmetricKey::fromPassword("correct horse");  // bound to this machine
//   auto sealed = mornik::CryptoTav::encript(key, "secret note");    // Result<Data>
//   std::string stored = key.base64();
//   auto again = mornik::SymmetricKey::fromBase64Encoded(stored);    // equal to key
//
// A password-derived key is PBKDF2 with HMAC-SHA1, 10000 rounds, 32 bytes
// (AES-256), over the password's bytes as given (NUL bytes included, no
// terminator; bytes that are not UTF-8 are used as they are). fromPassword
// without a salt salts with this machine's hardware address: the twelve
// lower-case hexadecimal digits of HardwareAddressSource::shared()'s
// primary address (platform/HardwareAddress.hpp), as UTF-8, or an empty
// salt when the machine has none.
//
// What that means:
// - New network hardware, new key, old data unreadable: the salt changes
//   with the primary interface, and nothing sealed before can be opened
//   with the same password.
// - The salt is not a secret (the address is on every frame the machine
//   sends, and half of it names the vendor). Whoever holds a sealed file
//   can try passwords offline at the cost of 10000 HMAC-SHA1 rounds each:
//   one graphics card tries a few million passwords a second. The fixed
//   format cannot raise that cost; only a long, unguessable password
//   protects the data.
//
// The key bytes live in memory this object owns and are wiped
// (OPENSSL_cleanse) when it is destroyed or assigned over; keys compare in
// constant time.
//
// Derivation failure: PBKDF2 fails only when OpenSSL cannot run (no memory,
// no digest, a password longer than INT_MAX bytes), never for an ordinary
// password. The key made then holds no bytes and carries
// derivationFailure(), a Crypto error (code derivationFailure) whose text
// is "SECURITY FAILURE: Could not derive secure password (<status>)"; every
// seal and open with it fails with that error, so nothing is ever sealed
// under a weak key.
//
// Thread safety: a key is an immutable value; distinct keys, and one key
// read from many threads, are safe.

namespace mornik {

using Data = std::vector<std::uint8_t>;

// The domain of the errors of crypto/.
inline constexpr std::string_view kCryptoErrorDomain = "Crypto";

enum class CryptoErrorCode : int {
  // "incorrect key size: <n> bytes; AES-GCM keys are 16, 24 or 32 bytes"
  incorrectKeySize = 1,
  // "incorrect parameter size: sealed data of <n> bytes is shorter than 28
  // (12-byte nonce and 16-byte tag)"
  incorrectParameterSize = 2,
  // "authentication failure: the key is wrong or the sealed data was altered"
  authenticationFailure = 3,
  // "no nonce: the random generator failed"
  randomFailure = 4,
  // "SECURITY FAILURE: Could not derive secure password (<status>)"
  derivationFailure = 5,
  // "the cipher failed: <OpenSSL's text>" (no memory, a broken library)
  cipherFailure = 6,
};

// A Crypto error with its code's text (above) as description.
Error cryptoError(CryptoErrorCode code, const std::string& description);

class SymmetricKey {
 public:
  // A key holding these bytes (copied). 16, 24 and 32 bytes select AES-128,
  // -192 and -256-GCM; other sizes make a key that every seal and open
  // refuses with incorrectKeySize.
  explicit SymmetricKey(std::span<const std::uint8_t> bytes);

  // PBKDF2-HMAC-SHA1, 10000 rounds, 32 bytes, with this machine's salt.
  static SymmetricKey fromPassword(std::string_view password);
  // The same with a salt of the caller's.
  static SymmetricKey fromPassword(std::string_view password, std::span<const std::uint8_t> salt);
  // Key bytes from strict standard Base64 (alphabet A-Z a-z 0-9 + /, padded
  // with "=" to a multiple of 4, unused bits zero): nothing for any other
  // text, whitespace, line breaks or the URL-safe "-" and "_" included.
  static std::optional<SymmetricKey> fromBase64Encoded(std::string_view text);

  SymmetricKey(const SymmetricKey& other);
  SymmetricKey(SymmetricKey&& other) noexcept;
  SymmetricKey& operator=(const SymmetricKey& other);
  SymmetricKey& operator=(SymmetricKey&& other) noexcept;
  ~SymmetricKey();

  // The bytes as standard Base64, padded, on one line.
  std::string base64() const;
  std::size_t bitCount() const { return bytes_.size() * 8; }
  std::span<const std::uint8_t> bytes() const { return bytes_; }
  // Set when the key could not be derived (above).
  const std::optional<Error>& derivationFailure() const { return failure_; }

  // Equal bytes, compared in constant time for keys of one size.
  friend bool operator==(const SymmetricKey& a, const SymmetricKey& b);

 private:
  SymmetricKey() = default;

  std::vector<std::uint8_t> bytes_;
  std::optional<Error> failure_;
};

bool operator==(const SymmetricKey& a, const SymmetricKey& b);

// The machine's salt: the primary hardware address as twelve lower-case
// hexadecimal digits, or "" (see above).
std::string deviceSalt();

// The SHA-512 digest (64 bytes) of the text's bytes.
Data sha512(std::string_view text);

}  // namespace mornik

MORNIK_EXPORTS_END
