// Opening sealed data: any bytes fail with the parameter-size error below 28
// bytes and with the authentication error otherwise (nobody forges a tag),
// as data and as text; sealing them and opening the result gives them back.
#include <cstddef>
#include <cstdint>
#include <span>

#include "mornik/crypto/CryptoTav.hpp"

#include "fuzz/Check.hpp"

using fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  const mornik::CryptoErrorCode expected = size < 28
                                               ? mornik::CryptoErrorCode::incorrectParameterSize
                                               : mornik::CryptoErrorCode::authenticationFailure;
  for (std::size_t keySize : {16U, 32U}) {
    const mornik::SymmetricKey key(mornik::Data(keySize, 0x42));
    auto opened = mornik::CryptoTav::decriptData(key, bytes);
    check(opened.isFailure() &&
          opened.error().is(mornik::kCryptoErrorDomain, static_cast<std::int64_t>(expected)));
    auto text = mornik::CryptoTav::decriptString(key, bytes);
    check(text.isFailure() &&
          text.error().is(mornik::kCryptoErrorDomain, static_cast<std::int64_t>(expected)));
    auto sealed = mornik::CryptoTav::encript(key, bytes);
    check(sealed.isSuccess() && sealed.value().size() == size + 28);
    auto back = mornik::CryptoTav::decriptData(key, sealed.value());
    check(back.isSuccess() && back.value() == mornik::Data(bytes.begin(), bytes.end()));
  }
  return 0;
}
