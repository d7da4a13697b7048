#include "mornik/crypto/CryptoTav.hpp"

#include <gtest/gtest.h>

#include "mornik/crypto/detail/Primitives.hpp"

#include "tests/crypto/Support.hpp"
#include "tests/support/ResultMatchers.hpp"

namespace mornik {
namespace {

using namespace std::string_literals;
using test::FailedWithCrypto;
using test::hexBytes;
using test::hexText;

// NIST's AES-256-GCM vectors with a 96-bit IV and no additional data
// (CAVP gcmEncryptExtIV256, and the GCM specification's test case 15).
TEST(CryptoTav, SealMatchesNistVectorsAndOpensThem) {
  struct Case {
    const char *key, *iv, *plain, *cipherAndTag;
  };
  const Case cases[] = {
      {"b52c505a37d78eda5dd34f20c22540ea1b58963cf8e5bf8ffa85f9f2492505b4",
       "516c33929df5a3284ff463d7", "", "bdc1ac884d332457a1d2664f168c76f0"},
      {"31bdadd96698c204aa9ce1448ea94ae1fb4a9a0b3c9d773b51bb1822666b8f22",
       "0d18e06c7c725ac9e362e1ce", "2db5168e932556f8089a0622981d017d",
       "fa4362189661d163fcd6a56d8bf0405ad636ac1bbedd5cc3ee727dc2ab4a9489"},
      {"feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308",
       "cafebabefacedbaddecaf888",
       "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
       "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255",
       "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa"
       "8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662898015ad"
       "b094dac5d93471bdec1a502270e3cc6c"},
  };
  for (const auto& c : cases) {
    SymmetricKey key(hexBytes(c.key));
    auto sealed = detail::sealWithNonce(key, hexBytes(c.iv), hexBytes(c.plain));
    ASSERT_TRUE(sealed.isSuccess());
    EXPECT_EQ(hexText(sealed.value()), std::string(c.iv) + c.cipherAndTag);
    EXPECT_EQ(hexText(CryptoTav::decriptData(key, sealed.value()).value()), c.plain);
  }
}

TEST(CryptoTav, ShortSealedDataIsAParameterSizeErrorAndAnEmptyOneOpens) {
  const SymmetricKey key(Data(32, 9));
  for (std::size_t size : {0U, 1U, 27U}) {
    EXPECT_THAT(CryptoTav::decriptData(key, Data(size)),
                FailedWithCrypto(CryptoErrorCode::incorrectParameterSize))
        << size;
  }
  EXPECT_THAT(CryptoTav::decriptData(key, Data(27)),
              test::FailedWith("incorrect parameter size: sealed data of 27 bytes is shorter than "
                               "28 (12-byte nonce and 16-byte tag)"));
  auto empty = CryptoTav::encript(key, Data());
  ASSERT_EQ(empty.value().size(), 28U);
  EXPECT_THAT(CryptoTav::decriptData(key, empty.value()), test::Succeeded(Data()));
  // 28 bytes that are not a seal of anything fail authentication.
  EXPECT_THAT(CryptoTav::decriptData(key, Data(28)),
              FailedWithCrypto(CryptoErrorCode::authenticationFailure));
}

TEST(CryptoTav, EveryFlippedBitOrAnotherKeyFailsAuthentication) {
  const SymmetricKey key(Data(32, 1));
  const Data sealed = CryptoTav::encript(key, "hello").value();
  for (std::size_t bit = 0; bit < sealed.size() * 8; ++bit) {
    Data altered = sealed;
    altered[bit / 8] ^= static_cast<std::uint8_t>(1U << (bit % 8));
    EXPECT_THAT(CryptoTav::decriptData(key, altered),
                FailedWithCrypto(CryptoErrorCode::authenticationFailure))
        << "bit " << bit;
  }
  EXPECT_THAT(CryptoTav::decriptString(SymmetricKey(Data(32, 2)), sealed),
              test::FailedWith("authentication failure: the key is wrong or the sealed data was "
                               "altered"));
}

TEST(CryptoTav, EachSealDrawsAFreshNonceAndBothOpen) {
  const SymmetricKey key(Data(32, 3));
  const Data first = CryptoTav::encript(key, "same").value();
  const Data second = CryptoTav::encript(key, "same").value();
  EXPECT_NE(first, second);
  EXPECT_NE(Data(first.begin(), first.begin() + 12), Data(second.begin(), second.begin() + 12));
  EXPECT_THAT(CryptoTav::decriptString(key, first), test::Succeeded("same"s));
  EXPECT_THAT(CryptoTav::decriptString(key, second), test::Succeeded("same"s));
}

TEST(CryptoTav, AFailedRandomDrawIsAnErrorNeverAZeroNonce) {
  const SymmetricKey key(Data(32, 4));
  const auto real = detail::nonceDraw.exchange([](unsigned char* bytes, int count) {
    std::fill(bytes, bytes + count, 0);
    return 0;
  });
  auto sealed = CryptoTav::encript(key, "x");
  detail::nonceDraw.store(real);
  EXPECT_THAT(sealed, FailedWithCrypto(CryptoErrorCode::randomFailure));
}

TEST(CryptoTav, TextThatIsNotUtf8IsAnErrorEitherWay) {
  const SymmetricKey key(Data(32, 5));
  EXPECT_THAT(CryptoTav::encript(key, "a\xff"s),
              test::Failed(WTF("nil for optional value of type <Data>", 0)));
  const Data sealed = CryptoTav::encript(key, Data{'a', 0xC3}).value();
  EXPECT_THAT(CryptoTav::decriptString(key, sealed),
              test::Failed(WTF("can't convert Data to string", 0)));
}

TEST(CryptoTav, DataSealsByKeyAndByPassword) {
  const Data plain = {'o', 'k', 0, 1};
  const SymmetricKey key(Data(32, 6));
  EXPECT_THAT(decrypted(encrypted(plain, key).value(), key), test::Succeeded(plain));
  const Data sealed = encrypted(plain, "pass\0word"s).value();
  EXPECT_THAT(decrypted(sealed, "pass\0word"s), test::Succeeded(plain));
  EXPECT_THAT(decrypted(sealed, "pass"), FailedWithCrypto(CryptoErrorCode::authenticationFailure));
}

}  // namespace
}  // namespace mornik
