#include <fstream>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include "mornik/crypto/CryptoDictFileID.hpp"
#include "mornik/crypto/CryptoTav.hpp"
#include "mornik/crypto/FileCrypted.hpp"
#include "mornik/fileio/AtomicFile.hpp"
#include "mornik/fileio/FileContents.hpp"
#include "mornik/platform/HardwareAddress.hpp"

#include "tests/crypto/Support.hpp"
#include "tests/support/ResultMatchers.hpp"
#include "tests/support/TempDir.hpp"

namespace mornik {
namespace {

using namespace std::string_literals;
namespace fs = std::filesystem;
const Error kMissingKey = WTF("nil for optional value of type <String>", 0);

TEST(FileCrypted, WritesOwnerOnlySealedTextReadsItBackAndRefusesDamage) {
  test::TempDir dir;
  const auto path = dir / "note";
  auto file = FileCrypted::make(asURL(path.string()), SymmetricKey(Data(32, 1)));
  EXPECT_TRUE(file->getContentR().error().is(std::errc::no_such_file_or_directory));
  std::ofstream(path) << "old";
  fs::permissions(path, fs::perms(0644));  // narrowed by the first write
  ASSERT_THAT(file->setContentR(""), test::Succeeded());
  EXPECT_EQ(fs::file_size(path), 28U);
  EXPECT_EQ(fs::status(path).permissions(), fs::perms(0600));
  EXPECT_THAT(file->getContentR(), test::Succeeded(""s));
  std::string sealed;
  for (int i = 0; i < 2; ++i) {
    ASSERT_THAT(file->setContentR("secret ✓"), test::Succeeded());
    EXPECT_NE(readFileContents(path).value(), sealed);  // a fresh nonce each time
    sealed = readFileContents(path).value();
    EXPECT_THAT(file->getContentR(), test::Succeeded("secret ✓"s));
  }
  std::ofstream(path, std::ios::trunc) << sealed.substr(0, 27);
  EXPECT_THAT(file->getContentR(), test::FailedWithCrypto(CryptoErrorCode::incorrectParameterSize));
  std::ofstream(path, std::ios::trunc) << sealed.substr(0, sealed.size() - 1);
  EXPECT_THAT(file->getContentR(), test::FailedWithCrypto(CryptoErrorCode::authenticationFailure));
  file = FileCrypted::make(asURL(dir.path().string()), SymmetricKey(Data(32, 1)));  // a folder
  EXPECT_TRUE(file->getContentR().isFailure() && file->setContentR("x").isFailure());
}

class CryptoDictFileIDTest : public testing::Test {
 protected:
  void SetUp() override {
    HardwareAddressSource::setShared(
        std::make_shared<FixedHardwareAddress>(Data{0, 0x1c, 1, 2, 3, 4}));
  }
  void TearDown() override { HardwareAddressSource::setShared(nullptr); }
  // The file's plaintext, and a replacement of it, under the password "pw".
  std::string plaintext() const {
    return FileCrypted::make(asURL(path_), SymmetricKey::fromPassword("pw"))->getContentR().value();
  }
  void writePlaintext(const std::string& text) const {
    auto sealed = CryptoTav::encript(SymmetricKey::fromPassword("pw"), test::asBytes(text));
    ASSERT_TRUE(writeAtomically(path_, sealed.value()).isSuccess());
  }

  test::TempDir dir_;
  const std::string path_ = (dir_ / "dict").string();
};

TEST_F(CryptoDictFileIDTest, MadeWhenMissingThenSetGetRemoveAgainAndReopen) {
  const CryptoDictFileID dict(path_ + "/", "pw");
  EXPECT_EQ(plaintext(), "{}");
  EXPECT_EQ(std::filesystem::status(path_).permissions(), std::filesystem::perms(0600));
  EXPECT_THAT(dict.get("a"), test::Failed(kMissingKey));
  for (int i = 0; i < 2; ++i) {
    ASSERT_THAT(dict.set("b", "2"), test::Succeeded());
    ASSERT_THAT(dict.set("a", "1/ü"), test::Succeeded());
    EXPECT_EQ(plaintext(), "{\n  \"a\": \"1\\/ü\",\n  \"b\": \"2\"\n}");
    ASSERT_THAT(dict.set("a", std::nullopt), test::Succeeded());
    ASSERT_THAT(dict.set("zz", std::nullopt), test::Succeeded());
    EXPECT_THAT(dict.get("a"), test::Failed(kMissingKey));
    EXPECT_THAT(CryptoDictFileID(path_, "pw").get("b"), test::Succeeded("2"s));
  }
}

TEST_F(CryptoDictFileIDTest, WrongPasswordMachineOrContentFailsAndLeavesTheFile) {
  ASSERT_THAT(CryptoDictFileID(path_, "pw").set("k", "v"), test::Succeeded());
  const std::string before = readFileContents(path_).value();
  CryptoDictFileID wrong(path_, "other");
  EXPECT_THAT(wrong.get("k"), test::FailedWithCrypto(CryptoErrorCode::authenticationFailure));
  EXPECT_THAT(wrong.set("k", "w"), test::FailedWithCrypto(CryptoErrorCode::authenticationFailure));
  EXPECT_EQ(readFileContents(path_).value(), before);
  wrong.setDebug(false);  // an unreadable file reads as empty
  EXPECT_THAT(wrong.get("k"), test::Failed(kMissingKey));

  const CryptoDictFileID dict(path_, "pw");
  for (const auto& [text, type] : {std::pair{"[[\"a\",\"b\"]]", "object, but is array"},
                                   {"{\"a\": 1}", "string, but is number"}}) {
    writePlaintext(text);
    EXPECT_THAT(dict.get("a"),
                test::FailedWith("[json.exception.type_error.302] type must be "s + type));
    EXPECT_TRUE(dict.set("a", "x").isFailure());
  }
  writePlaintext("{\"a\": \"x\xff\"}"s);  // read with U+FFFD
  EXPECT_THAT(dict.get("a"), test::Succeeded("x\xEF\xBF\xBD"s));
  EXPECT_THAT(dict.set("b\xff"s, "x"), test::Failed(WTF("can't convert Data to string", 0)));
  std::filesystem::remove(path_);
  EXPECT_TRUE(dict.get("a").error().is(std::errc::no_such_file_or_directory));
}

// Two processes updating one file: each set replaces it whole, so the file
// always opens.
TEST_F(CryptoDictFileIDTest, TwoProcessesNeverLeaveACorruptFile) {
  const CryptoDictFileID dict(path_, "pw");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    for (int i = 0; i < 15; ++i) (void)CryptoDictFileID(path_, "pw").set("child", "c");
    ::_exit(0);
  }
  for (int i = 0; i < 15; ++i)
    EXPECT_THAT(dict.set("parent", std::to_string(i)), test::Succeeded());
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(dict.get("parent").isSuccess() || dict.get("child").isSuccess());
}

}  // namespace
}  // namespace mornik
