#include "mornik/crypto/CryptoDictFileID.hpp"

#include <filesystem>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "mornik/crypto/CryptoTav.hpp"
#include "mornik/fileio/AtomicFile.hpp"
#include "mornik/fileio/FileContents.hpp"
#include "mornik/platform/HardwareAddress.hpp"

#include "tests/crypto/Support.hpp"
#include "tests/support/ResultMatchers.hpp"
#include "tests/support/TempDir.hpp"

namespace mornik {
namespace {

using namespace std::string_literals;

const Error kMissingKey = WTF("nil for optional value of type <String>", 0);

class CryptoDictFileIDTest : public testing::Test {
 protected:
  void SetUp() override {
    HardwareAddressSource::setShared(
        std::make_shared<FixedHardwareAddress>(Data{0x00, 0x1c, 0x42, 0xab, 0xcd, 0xef}));
  }
  void TearDown() override { HardwareAddressSource::setShared(nullptr); }

  // The plaintext of the file, opened as the dictionary does.
  std::string plaintext() const {
    const std::string sealed = readFileContents(path_).value();
    return CryptoTav::decriptString(SymmetricKey::fromPassword("pw"), test::asBytes(sealed))
        .value();
  }
  // Replaces the file with `text` sealed under the password.
  void writePlaintext(const std::string& text) const {
    auto sealed = CryptoTav::encript(SymmetricKey::fromPassword("pw"), test::asBytes(text)).value();
    ASSERT_TRUE(writeAtomically(path_, sealed).isSuccess());
  }

  test::TempDir dir_;
  const std::string path_ = (dir_ / "dict").string();
};

TEST_F(CryptoDictFileIDTest, MadeWhenMissingThenSetGetRemoveAgainAndReopen) {
  CryptoDictFileID dict(path_ + "/", "pw");  // one trailing "/" dropped
  EXPECT_EQ(dict.path(), path_);
  EXPECT_TRUE(dict.debug());
  EXPECT_EQ(plaintext(), "{}");
  EXPECT_EQ(std::filesystem::status(path_).permissions(), std::filesystem::perms(0600));
  EXPECT_THAT(dict.get("a"), test::Failed(kMissingKey));

  for (int i = 0; i < 2; ++i) {
    ASSERT_THAT(dict.set("b", "2"), test::Succeeded());
    ASSERT_THAT(dict.set("a", "1/ü"), test::Succeeded());
    EXPECT_THAT(CryptoDictFileID(path_, "pw").get("a"), test::Succeeded("1/ü"s));
    EXPECT_EQ(plaintext(), "{\n  \"a\": \"1\\/ü\",\n  \"b\": \"2\"\n}");
    ASSERT_THAT(dict.set("a", std::nullopt), test::Succeeded());
    ASSERT_THAT(dict.set("zz", std::nullopt), test::Succeeded());  // absent: still rewrites
    EXPECT_THAT(dict.get("a"), test::Failed(kMissingKey));
    EXPECT_THAT(dict.get("b"), test::Succeeded("2"s));
  }
  // A second construction leaves the existing file alone.
  EXPECT_THAT(CryptoDictFileID(path_, "pw").get("b"), test::Succeeded("2"s));
}

TEST_F(CryptoDictFileIDTest, WrongPasswordOrMachineFailsAndLeavesTheFile) {
  CryptoDictFileID(path_, "pw").set("k", "v").value();
  const std::string before = readFileContents(path_).value();
  CryptoDictFileID wrong(path_, "other");
  EXPECT_THAT(wrong.get("k"), test::FailedWithCrypto(CryptoErrorCode::authenticationFailure));
  EXPECT_THAT(wrong.set("k", "w"), test::FailedWithCrypto(CryptoErrorCode::authenticationFailure));
  HardwareAddressSource::setShared(std::make_shared<FixedHardwareAddress>(Data(6, 1)));
  EXPECT_THAT(CryptoDictFileID(path_, "pw").get("k"),
              test::FailedWithCrypto(CryptoErrorCode::authenticationFailure));
  EXPECT_EQ(readFileContents(path_).value(), before);
  // With debug off, an unreadable file reads as empty and is replaced.
  wrong.setDebug(false);
  EXPECT_THAT(wrong.get("k"), test::Failed(kMissingKey));
}

TEST_F(CryptoDictFileIDTest, ContentThatIsNotAnObjectOfStringsIsAnError) {
  CryptoDictFileID dict(path_, "pw");
  const std::pair<const char*, const char*> cases[] = {
      {"[[\"a\",\"b\"]]", "[json.exception.type_error.302] type must be object, but is array"},
      {"{\"a\": 1}", "[json.exception.type_error.302] type must be string, but is number"},
      {"{\"a\": null}", "[json.exception.type_error.302] type must be string, but is null"},
  };
  for (const auto& [text, message] : cases) {
    writePlaintext(text);
    EXPECT_THAT(dict.get("a"), test::FailedWith(message)) << text;
    EXPECT_TRUE(dict.set("a", "x").isFailure());
  }
  writePlaintext("{\"a\": \"x\xff\"}"s);  // invalid UTF-8 reads as U+FFFD
  EXPECT_THAT(dict.get("a"), test::Succeeded("x\xEF\xBF\xBD"s));
  EXPECT_THAT(dict.set("b\xff"s, "x"), test::Failed(WTF("can't convert Data to string", 0)));
}

TEST_F(CryptoDictFileIDTest, MissingFileAfterConstructionFailsWithTheReadError) {
  CryptoDictFileID dict(path_, "pw");
  std::filesystem::remove(path_);
  EXPECT_TRUE(dict.get("a").error().is(std::errc::no_such_file_or_directory));
  EXPECT_TRUE(dict.set("a", "b").error().is(std::errc::no_such_file_or_directory));
}

// Two processes updating one file: each set replaces it whole, so the file
// always opens, and holds the keys of whichever writer came last.
TEST_F(CryptoDictFileIDTest, TwoProcessesNeverLeaveACorruptFile) {
  CryptoDictFileID dict(path_, "pw");
  constexpr int kRounds = 15;
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    for (int i = 0; i < kRounds; ++i) (void)CryptoDictFileID(path_, "pw").set("child", "c");
    ::_exit(0);
  }
  for (int i = 0; i < kRounds; ++i) {
    auto set = dict.set("parent", std::to_string(i));
    EXPECT_TRUE(set.isSuccess()) << set.error().localizedDescription();
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_TRUE(dict.get("parent").isSuccess() || dict.get("child").isSuccess());
  EXPECT_TRUE(dict.set("last", "x").isSuccess());
}

}  // namespace
}  // namespace mornik
