#include <gtest/gtest.h>

#include "mornik/crypto/CryptoTav.hpp"
#include "mornik/crypto/detail/Primitives.hpp"
#include "mornik/platform/HardwareAddress.hpp"

#include "tests/crypto/Support.hpp"
#include "tests/support/ResultMatchers.hpp"

namespace mornik {
namespace {

using namespace std::string_literals;
using test::asBytes, test::FailedWithCrypto, test::hexBytes, test::hexText;

// RFC 6070 (PBKDF2-HMAC-SHA1), the 16777216-round case left out for time.
TEST(SymmetricKey, DerivationMatchesRfc6070) {
  const std::tuple<std::string, std::string, int, std::size_t, const char*> cases[] = {
      {"password", "salt", 1, 20, "0c60c80f961f0e71f3a9b524af6012062fe037a6"},
      {"password", "salt", 2, 20, "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"},
      {"password", "salt", 4096, 20, "4b007901b765489abead49d926f721d065a429c1"},
      {"passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096, 25,
       "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"},
      {"pass\0word"s, "sa\0lt"s, 4096, 16, "56fa6aa75548099dcc37d7f03425e0c3"},
  };
  for (const auto& [password, salt, rounds, length, hex] : cases) {
    EXPECT_EQ(hexText(detail::pbkdf2Sha1(password, asBytes(salt), rounds, length).value()), hex);
  }
  EXPECT_THAT(detail::pbkdf2Sha1("password", asBytes("salt"), 0, 32),
              test::FailedWith("SECURITY FAILURE: Could not derive secure password (0)"));
}

// 10000 rounds, 32 bytes (the figure from Python's hashlib.pbkdf2_hmac),
// salted with the first 6 bytes of the machine's address, or nothing.
TEST(SymmetricKey, PasswordKeyIsTenThousandRoundsSaltedWithTheMachine) {
  EXPECT_EQ(
      hexText(SymmetricKey::fromPassword("correct horse battery staple", asBytes("001c42abcdef"))
                  .bytes()),
      "b3d7541762a5942beeff9c0bfa1bb35a9a36cc36b42d654c91e7e2e80e6da747");
  const std::pair<Data, std::string> cases[] = {
      {{0x00, 0x1c, 0x42, 0xab, 0xcd, 0xef}, "001c42abcdef"},
      {{0x00, 0x1c, 0x42, 0xab, 0xcd, 0xef, 0x77}, "001c42abcdef"},
      {{}, ""},
  };
  for (const auto& [address, salt] : cases) {
    HardwareAddressSource::setShared(std::make_shared<FixedHardwareAddress>(address));
    EXPECT_EQ(deviceSalt(), salt);
    for (int i = 0; i < 2; ++i) {  // the same key every time
      EXPECT_TRUE(SymmetricKey::fromPassword("pw") ==
                  SymmetricKey::fromPassword("pw", asBytes(salt)));
    }
  }
  HardwareAddressSource::setShared(nullptr);
}

TEST(SymmetricKey, Base64IsStrictAndRoundTrips) {
  const auto key = SymmetricKey::fromPassword("p", asBytes("s"));
  EXPECT_TRUE(SymmetricKey::fromBase64Encoded(key.base64()) == key);
  for (const char* bad : {"Zm9v\n", " Zm9v", "Zm 9v", "Zg", "Zg=", "Zg=a",
                          "Z===", "Zh==", "Zm9=", "Zm-_", "Zm9v=Zm9", "Zm9v\r\nZm9v"}) {
    EXPECT_FALSE(SymmetricKey::fromBase64Encoded(bad).has_value()) << bad;
  }
}

TEST(SymmetricKey, KeySizePicksTheCipherOrFails) {
  for (std::size_t size : {0U, 16U, 20U, 24U, 32U, 33U}) {
    const SymmetricKey key(Data(size, 7));
    auto opened = CryptoTav::decriptData(key, CryptoTav::encript(key, "x").valueOr(Data(40)));
    EXPECT_EQ(opened.isSuccess(), size % 8 == 0 && size >= 16 && size <= 32) << size;
    if (opened.isFailure()) {
      EXPECT_THAT(opened, FailedWithCrypto(CryptoErrorCode::incorrectKeySize));
    }
  }
}

TEST(SymmetricKey, Sha512KnownAnswers) {
  EXPECT_EQ(hexText(sha512("")) + hexText(sha512("abc")),
            "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
            "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"
            "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
            "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
}

// NIST CAVP gcmEncryptExtIV256: AES-256-GCM, 96-bit IV, no additional data.
TEST(CryptoTav, SealMatchesNistVectorsAndOpensThem) {
  const std::tuple<const char*, const char*, const char*, const char*> cases[] = {
      {"b52c505a37d78eda5dd34f20c22540ea1b58963cf8e5bf8ffa85f9f2492505b4",
       "516c33929df5a3284ff463d7", "", "bdc1ac884d332457a1d2664f168c76f0"},
      {"31bdadd96698c204aa9ce1448ea94ae1fb4a9a0b3c9d773b51bb1822666b8f22",
       "0d18e06c7c725ac9e362e1ce", "2db5168e932556f8089a0622981d017d",
       "fa4362189661d163fcd6a56d8bf0405ad636ac1bbedd5cc3ee727dc2ab4a9489"},
  };
  for (const auto& [key, iv, plain, cipherAndTag] : cases) {
    auto sealed = detail::sealWithNonce(SymmetricKey(hexBytes(key)), hexBytes(iv), hexBytes(plain));
    EXPECT_EQ(hexText(sealed.value()), std::string(iv) + cipherAndTag);
    EXPECT_THAT(CryptoTav::decriptData(SymmetricKey(hexBytes(key)), sealed.value()),
                test::Succeeded(hexBytes(plain)));
  }
}

TEST(CryptoTav, ShortFlippedOrForeignSealedDataFails) {
  const SymmetricKey key(Data(32, 1));
  for (std::size_t size : {0U, 27U}) {
    EXPECT_THAT(CryptoTav::decriptData(key, Data(size)),
                FailedWithCrypto(CryptoErrorCode::incorrectParameterSize));
  }
  EXPECT_THAT(CryptoTav::decriptData(key, CryptoTav::encript(key, Data()).value()),
              test::Succeeded(Data()));
  const Data sealed = CryptoTav::encript(key, "hello").value();
  for (std::size_t bit = 0; bit < sealed.size() * 8; ++bit) {
    Data altered = sealed;
    altered[bit / 8] ^= static_cast<std::uint8_t>(1U << (bit % 8));
    EXPECT_THAT(CryptoTav::decriptData(key, altered),
                FailedWithCrypto(CryptoErrorCode::authenticationFailure))
        << bit;
  }
  EXPECT_THAT(CryptoTav::decriptString(SymmetricKey(Data(32, 2)), sealed),
              test::FailedWith("authentication failure: the key is wrong or the sealed data was "
                               "altered"));
}

TEST(CryptoTav, EachSealDrawsAFreshNonceAndAFailedDrawIsAnError) {
  const SymmetricKey key(Data(32, 3));
  const Data first = CryptoTav::encript(key, "same").value();
  const Data second = CryptoTav::encript(key, "same").value();
  EXPECT_NE(Data(first.begin(), first.begin() + 12), Data(second.begin(), second.begin() + 12));
  const auto real = detail::nonceDraw.exchange([](unsigned char* bytes, int count) {
    std::fill(bytes, bytes + count, 0);
    return 0;
  });
  auto sealed = CryptoTav::encript(key, "x");
  detail::nonceDraw.store(real);
  EXPECT_THAT(sealed, FailedWithCrypto(CryptoErrorCode::randomFailure));
}

TEST(CryptoTav, TextMustBeUtf8AndPasswordsCountToTheirEnd) {
  const SymmetricKey key(Data(32, 5));
  EXPECT_THAT(CryptoTav::encript(key, "a\xff"s),
              test::Failed(WTF("nil for optional value of type <Data>", 0)));
  EXPECT_THAT(CryptoTav::decriptString(key, CryptoTav::encript(key, Data{'a', 0xC3}).value()),
              test::Failed(WTF("can't convert Data to string", 0)));
  const Data sealed = encrypted(Data{'o', 'k'}, "pass\0word"s).value();
  EXPECT_THAT(decrypted(sealed, "pass\0word"s), test::Succeeded(Data{'o', 'k'}));
  EXPECT_THAT(decrypted(sealed, "pass"), FailedWithCrypto(CryptoErrorCode::authenticationFailure));
}

}  // namespace
}  // namespace mornik
