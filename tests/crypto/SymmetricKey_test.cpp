#include "mornik/crypto/SymmetricKey.hpp"

#include <gtest/gtest.h>

#include "mornik/crypto/CryptoTav.hpp"
#include "mornik/crypto/detail/Primitives.hpp"
#include "mornik/platform/HardwareAddress.hpp"

#include "tests/crypto/Support.hpp"
#include "tests/support/ResultMatchers.hpp"

namespace mornik {
namespace {

using namespace std::string_literals;
using test::asBytes;
using test::FailedWithCrypto;
using test::hexBytes;
using test::hexText;

// RFC 6070 (PBKDF2-HMAC-SHA1), the 16777216-round case left out for time.
TEST(SymmetricKey, DerivationMatchesRfc6070) {
  struct Case {
    std::string password, salt;
    int rounds;
    std::size_t length;
    const char* hex;
  };
  const Case cases[] = {
      {"password", "salt", 1, 20, "0c60c80f961f0e71f3a9b524af6012062fe037a6"},
      {"password", "salt", 2, 20, "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"},
      {"password", "salt", 4096, 20, "4b007901b765489abead49d926f721d065a429c1"},
      {"passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096, 25,
       "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"},
      {"pass\0word"s, "sa\0lt"s, 4096, 16, "56fa6aa75548099dcc37d7f03425e0c3"},
  };
  for (const auto& c : cases) {
    auto key = detail::pbkdf2Sha1(c.password, asBytes(c.salt), c.rounds, c.length);
    ASSERT_TRUE(key.isSuccess());
    EXPECT_EQ(hexText(key.value()), c.hex) << c.password.size() << " " << c.rounds;
  }
}

// The public derivation: 10000 rounds, 32 bytes (figure from Python's
// hashlib.pbkdf2_hmac), with an explicit salt and with the machine's.
TEST(SymmetricKey, PasswordKeyIsTenThousandRoundsOfSha1AndTakesTheMachineSalt) {
  constexpr const char* kExpected =
      "b3d7541762a5942beeff9c0bfa1bb35a9a36cc36b42d654c91e7e2e80e6da747";
  auto key = SymmetricKey::fromPassword("correct horse battery staple", asBytes("001c42abcdef"));
  EXPECT_EQ(hexText(key.bytes()), kExpected);
  EXPECT_EQ(key.bitCount(), 256U);

  struct Case {
    Data address;
    std::string salt;
  };
  const Case cases[] = {
      {{0x00, 0x1c, 0x42, 0xab, 0xcd, 0xef}, "001c42abcdef"},
      {{0x00, 0x1c, 0x42, 0xab, 0xcd, 0xef, 0x77, 0x88}, "001c42abcdef"},  // first 6 only
      {{0x00, 0x1c, 0x42, 0xab, 0xcd}, ""},                                // too short: none
      {{}, ""},
  };
  for (const auto& c : cases) {
    HardwareAddressSource::setShared(std::make_shared<FixedHardwareAddress>(c.address));
    EXPECT_EQ(deviceSalt(), c.salt);
    // Twice: the same key each time.
    for (int i = 0; i < 2; ++i) {
      EXPECT_TRUE(SymmetricKey::fromPassword("correct horse battery staple") ==
                  SymmetricKey::fromPassword("correct horse battery staple", asBytes(c.salt)));
    }
  }
  HardwareAddressSource::setShared(nullptr);
}

TEST(SymmetricKey, PasswordBytesCountToTheirEnd) {
  const auto salt = asBytes("s");
  EXPECT_FALSE(SymmetricKey::fromPassword("pass\0word"s, salt) ==
               SymmetricKey::fromPassword("pass", salt));
  EXPECT_FALSE(SymmetricKey::fromPassword("\xff\xfe"s, salt) ==
               SymmetricKey::fromPassword("\xff", salt));
}

TEST(SymmetricKey, DerivationFailureIsReportedNeverAWeakKey) {
  auto failed = detail::pbkdf2Sha1("password", asBytes("salt"), 0, 32);
  EXPECT_THAT(failed, test::FailedWith("SECURITY FAILURE: Could not derive secure password (0)"));
  EXPECT_THAT(failed, FailedWithCrypto(CryptoErrorCode::derivationFailure));
}

TEST(SymmetricKey, Base64IsStrictAndRoundTrips) {
  const auto key = SymmetricKey::fromPassword("p", asBytes("s"));
  const std::string text = key.base64();
  EXPECT_EQ(text.size(), 44U);
  auto back = SymmetricKey::fromBase64Encoded(text);
  ASSERT_TRUE(back.has_value());
  EXPECT_TRUE(*back == key);

  EXPECT_EQ(detail::base64Encode(asBytes("f")), "Zg==");
  EXPECT_EQ(detail::base64Encode(asBytes("fo")), "Zm8=");
  EXPECT_EQ(detail::base64Encode(asBytes("foo")), "Zm9v");
  EXPECT_EQ(detail::base64Decode("Zm9vYg==").value(), Data({'f', 'o', 'o', 'b'}));
  EXPECT_EQ(detail::base64Decode("").value(), Data());
  for (const char* bad : {"Zm9v\n", " Zm9v", "Zm 9v", "Zg", "Zg=", "Zg=a",
                          "Z===", "Zh==", "Zm9=", "Zm-_", "Zm9v=Zm9", "====", "Zm9v\r\nZm9v"}) {
    EXPECT_FALSE(SymmetricKey::fromBase64Encoded(bad).has_value()) << bad;
  }
}

TEST(SymmetricKey, KeySizePicksTheCipherOrFails) {
  const Data plain = {1, 2, 3};
  for (std::size_t size : {16U, 24U, 32U}) {
    SymmetricKey key(Data(size, 7));
    auto sealed = CryptoTav::encript(key, plain);
    ASSERT_TRUE(sealed.isSuccess()) << size;
    EXPECT_EQ(CryptoTav::decriptData(key, sealed.value()).value(), plain);
  }
  for (std::size_t size : {0U, 15U, 20U, 33U}) {
    SymmetricKey key(Data(size, 7));
    EXPECT_THAT(CryptoTav::encript(key, plain),
                FailedWithCrypto(CryptoErrorCode::incorrectKeySize));
    EXPECT_THAT(CryptoTav::decriptData(key, Data(40)),
                FailedWithCrypto(CryptoErrorCode::incorrectKeySize));
  }
  auto odd = SymmetricKey::fromBase64Encoded(detail::base64Encode(Data(20, 1)));
  EXPECT_THAT(
      CryptoTav::encript(*odd, plain),
      test::FailedWith("incorrect key size: 20 bytes; AES-GCM keys are 16, 24 or 32 bytes"));
}

TEST(SymmetricKey, Sha512KnownAnswers) {
  EXPECT_EQ(hexText(sha512("")),
            "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
            "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e");
  EXPECT_EQ(hexText(sha512("abc")),
            "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
            "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
}

}  // namespace
}  // namespace mornik
