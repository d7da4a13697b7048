#include "mornik/crypto/FileCrypted.hpp"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "mornik/fileio/FileContents.hpp"

#include "tests/crypto/Support.hpp"
#include "tests/support/ResultMatchers.hpp"
#include "tests/support/TempDir.hpp"

namespace mornik {
namespace {

using namespace std::string_literals;

unsigned modeOf(const std::filesystem::path& path) {
  struct stat status {};
  ::stat(path.c_str(), &status);
  return status.st_mode & 07777;
}

TEST(FileCrypted, WritesTheSealedTextOwnerOnlyAndReadsItBackAgainAndAgain) {
  test::TempDir dir;
  const auto path = dir / "note";
  auto file = FileCrypted::make(asURL(path.string()), SymmetricKey(Data(32, 1)));
  EXPECT_FALSE(file->exists());
  ASSERT_THAT(file->setContentR(""), test::Succeeded());
  EXPECT_TRUE(file->exists());
  EXPECT_EQ(std::filesystem::file_size(path), 28U);
  EXPECT_EQ(modeOf(path), 0600U);
  EXPECT_THAT(file->getContentR(), test::Succeeded(""s));

  std::string previous;
  for (int i = 0; i < 2; ++i) {
    ASSERT_THAT(file->setContentR("secret ✓"), test::Succeeded());
    const std::string bytes = readFileContents(path).value();
    EXPECT_EQ(bytes.size(), 28U + "secret ✓"s.size());
    EXPECT_NE(bytes, previous);  // a fresh nonce each time
    previous = bytes;
    EXPECT_THAT(file->getContentR(), test::Succeeded("secret ✓"s));
    // Reopened through another object.
    EXPECT_THAT(FileCrypted::make(asURL(path.string()), SymmetricKey(Data(32, 1)))->getContentR(),
                test::Succeeded("secret ✓"s));
  }
}

TEST(FileCrypted, AnExistingWideModeIsNarrowed) {
  test::TempDir dir;
  const auto path = dir / "note";
  std::ofstream(path) << "old";
  ::chmod(path.c_str(), 0644);
  ASSERT_THAT(FileCrypted::make(asURL(path.string()), SymmetricKey(Data(32, 1)))->setContentR("x"),
              test::Succeeded());
  EXPECT_EQ(modeOf(path), 0600U);
}

TEST(FileCrypted, DamagedMissingOrWrongFilesFailWithTheirCause) {
  test::TempDir dir;
  const auto path = dir / "note";
  const SymmetricKey key(Data(32, 1));
  auto file = FileCrypted::make(asURL(path.string()), key);
  EXPECT_TRUE(file->getContentR().error().is(std::errc::no_such_file_or_directory));
  ASSERT_THAT(file->setContentR("hello"), test::Succeeded());
  const std::string sealed = readFileContents(path).value();

  std::ofstream(path, std::ios::trunc) << sealed.substr(0, 27);  // truncated
  EXPECT_THAT(file->getContentR(), test::FailedWithCrypto(CryptoErrorCode::incorrectParameterSize));
  std::ofstream(path, std::ios::trunc) << sealed.substr(0, sealed.size() - 1);
  EXPECT_THAT(file->getContentR(), test::FailedWithCrypto(CryptoErrorCode::authenticationFailure));
  std::ofstream(path, std::ios::trunc) << sealed;
  EXPECT_THAT(FileCrypted::make(asURL(path.string()), SymmetricKey(Data(32, 2)))->getContentR(),
              test::FailedWithCrypto(CryptoErrorCode::authenticationFailure));

  // A folder at the path: both directions fail, nothing crashes.
  auto folder = FileCrypted::make(asURL(dir.path().string()), key);
  EXPECT_TRUE(folder->exists());
  EXPECT_TRUE(folder->getContentR().isFailure());
  EXPECT_TRUE(folder->setContentR("x").isFailure());
}

}  // namespace
}  // namespace mornik
