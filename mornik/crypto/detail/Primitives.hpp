#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/crypto/SymmetricKey.hpp"

MORNIK_EXPORTS_BEGIN

// The steps under the public calls, reachable by the tests and benchmarks:
// the derivation with a round count, the seal with a given nonce, Base64,
// UTF-8 checks and the random draw.
namespace mornik::detail {

inline constexpr int kPasswordRounds = 10000;
inline constexpr std::size_t kDerivedKeyLength = 32;
inline constexpr std::size_t kNonceLength = 12;
inline constexpr std::size_t kTagLength = 16;

// PBKDF2-HMAC-SHA1 over the bytes; the derivationFailure error when
// OpenSSL reports a failure (a round count below 1, for one).
Result<Data> pbkdf2Sha1(std::string_view password, std::span<const std::uint8_t> salt, int rounds,
                        std::size_t length);

// AES-GCM under `key` with the given nonce, no additional data: nonce,
// ciphertext, tag.
Result<Data> sealWithNonce(const SymmetricKey& key, std::span<const std::uint8_t> nonce,
                           std::span<const std::uint8_t> plaintext);

// Opens nonce, ciphertext, tag (the errors of CryptoTav.hpp).
Result<Data> open(const SymmetricKey& key, std::span<const std::uint8_t> sealed);

// The random draw of the nonces: RAND_bytes unless a test installs another
// (1 for success, as RAND_bytes).
using RandomDraw = int (*)(unsigned char* bytes, int count);
extern std::atomic<RandomDraw> nonceDraw;

std::string base64Encode(std::span<const std::uint8_t> bytes);
std::optional<Data> base64Decode(std::string_view text);

bool isValidUtf8(std::string_view bytes);
// Invalid sequences replaced by U+FFFD (one per maximal invalid subpart).
std::string utf8Replacing(std::string_view bytes);

// Wipes the bytes with OPENSSL_cleanse (the compiler cannot drop it).
void wipe(void* bytes, std::size_t count);
template <class Container>
void wipe(Container& bytes) {
  if (!bytes.empty()) wipe(bytes.data(), bytes.size());
}

}  // namespace mornik::detail

MORNIK_EXPORTS_END
