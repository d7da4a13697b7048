#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/crypto/SymmetricKey.hpp"

MORNIK_EXPORTS_BEGIN

// Sealing and opening data with AES-GCM.
//
//   auto key = mornik::SymmetricKey::fromPassword("correct horse");
//   mornik::Result<mornik::Data> sealed = mornik::CryptoTav::encript(key, "note");
//   mornik::Result<std::string> text = mornik::CryptoTav::decriptString(key, sealed.value());
//
// Sealed data is one byte string: a 12-byte nonce, the ciphertext (as long
// as the plaintext), the 16-byte tag; no additional authenticated data, no
// version, salt or length. A 32-byte key seals with AES-256-GCM (16 and 24
// bytes with AES-128 and -192). Every seal draws a fresh nonce from
// OpenSSL's random generator; a failed draw is the randomFailure error, so
// no nonce is ever zero or repeated by the library. A random 96-bit nonce
// stays safe for about 2^32 seals under one key.
//
// Errors (Crypto domain, SymmetricKey.hpp): incorrectKeySize for a key of
// another size; incorrectParameterSize for sealed data shorter than 28
// bytes; authenticationFailure for a wrong key or any altered bit (nothing
// of an unauthenticated plaintext is returned; its buffer is wiped); the
// key's derivationFailure. The library's own: "nil for optional value of
// type <Data>" (a WTF error, code 0) when a text to seal is not UTF-8, and
// "can't convert Data to string" when opened bytes read as text are not.
//
// Thread safety: pure functions; call them from any thread.

namespace mornik::CryptoTav {

// Seals the UTF-8 bytes of `text`.
Result<Data> encript(const SymmetricKey& key, std::string_view text);
Result<Data> encript(const SymmetricKey& key, std::span<const std::uint8_t> data);
// Opens sealed data: the plaintext bytes.
Result<Data> decriptData(const SymmetricKey& key, std::span<const std::uint8_t> encryptedData);
// Opens sealed data: the plaintext as UTF-8 text.
Result<std::string> decriptString(const SymmetricKey& key,
                                  std::span<const std::uint8_t> encryptedData);

}  // namespace mornik::CryptoTav

namespace mornik {

// The same as encript / decriptData, on the data itself.
Result<Data> encrypted(std::span<const std::uint8_t> data, const SymmetricKey& key);
Result<Data> decrypted(std::span<const std::uint8_t> data, const SymmetricKey& key);
// The same with SymmetricKey::fromPassword(password) (this machine's salt).
Result<Data> encrypted(std::span<const std::uint8_t> data, std::string_view password);
Result<Data> decrypted(std::span<const std::uint8_t> data, std::string_view password);

}  // namespace mornik

MORNIK_EXPORTS_END
