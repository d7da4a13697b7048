#include "mornik/crypto/CryptoTav.hpp"

#include <array>

#include "mornik/crypto/detail/Primitives.hpp"

namespace mornik::CryptoTav {

Result<Data> encript(const SymmetricKey& key, std::string_view text) {
  if (!detail::isValidUtf8(text)) return WTF("nil for optional value of type <Data>", 0);
  return encript(key, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

Result<Data> encript(const SymmetricKey& key, std::span<const std::uint8_t> data) {
  std::array<std::uint8_t, detail::kNonceLength> nonce{};
  if (detail::nonceDraw.load(std::memory_order_relaxed)(nonce.data(),
                                                        static_cast<int>(nonce.size())) != 1) {
    return cryptoError(CryptoErrorCode::randomFailure, "no nonce: the random generator failed");
  }
  return detail::sealWithNonce(key, nonce, data);
}

Result<Data> decriptData(const SymmetricKey& key, std::span<const std::uint8_t> encryptedData) {
  return detail::open(key, encryptedData);
}

Result<std::string> decriptString(const SymmetricKey& key,
                                  std::span<const std::uint8_t> encryptedData) {
  auto opened = detail::open(key, encryptedData);
  if (opened.isFailure()) return opened.error();
  Data& bytes = opened.value();
  std::string text(bytes.begin(), bytes.end());
  detail::wipe(bytes);
  if (!detail::isValidUtf8(text)) {
    detail::wipe(text);
    return WTF("can't convert Data to string", 0);
  }
  return text;
}

}  // namespace mornik::CryptoTav

namespace mornik {

Result<Data> encrypted(std::span<const std::uint8_t> data, const SymmetricKey& key) {
  return CryptoTav::encript(key, data);
}
Result<Data> decrypted(std::span<const std::uint8_t> data, const SymmetricKey& key) {
  return CryptoTav::decriptData(key, data);
}
Result<Data> encrypted(std::span<const std::uint8_t> data, std::string_view password) {
  return CryptoTav::encript(SymmetricKey::fromPassword(password), data);
}
Result<Data> decrypted(std::span<const std::uint8_t> data, std::string_view password) {
  return CryptoTav::decriptData(SymmetricKey::fromPassword(password), data);
}

}  // namespace mornik
