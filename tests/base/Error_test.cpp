#include "mornik/base/Error.hpp"

#include <cerrno>
#include <future>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include <gtest/gtest.h>

namespace mornik {
namespace {

TEST(Error, WTFHasTheFTWDomainTheCodeAndOnlyTheDescription) {
  const Error error = WTF("disk full", 7);
  EXPECT_EQ(error.domain(), "FTW");
  EXPECT_EQ(error.code(), 7);
  EXPECT_EQ(error.localizedDescription(), "disk full");
  EXPECT_STREQ(error.what(), "disk full");
  ASSERT_EQ(error.userInfo().size(), 1U);
  EXPECT_EQ(std::get<std::string>(error.userInfo().at(std::string(kLocalizedDescriptionKey))),
            "disk full");
  EXPECT_EQ(error.localizedFailureReason(), std::nullopt);
  EXPECT_EQ(error.underlyingError(), std::nullopt);
}

TEST(Error, DescriptionTexts) {
  const Error error = WTF("disk full", 7);
  EXPECT_EQ(error.descriptionTitle(), "7 @ FTW : disk full");
  EXPECT_EQ(error.detailedDescription(), "[code: 7] disk full |  @ FTW");
  EXPECT_EQ(error.detailedDescription_MultiLine(), "ERROR : disk full\nCODE   : 7 @ FTW");
  EXPECT_EQ(WTF("x", 3).detailedDescription(), "[code: 3] x |  @ FTW");
}

TEST(Error, DescriptionTextsWithReasonAndOtherUserInfo) {
  const Error error("Storage", -2,
                    {{std::string(kLocalizedDescriptionKey), std::string("cannot save")},
                     {std::string(kLocalizedFailureReasonErrorKey), std::string("read-only")},
                     {"path", std::string("/tmp/a")},
                     {"attempts", std::int64_t{3}}});
  EXPECT_EQ(error.descriptionTitle(), "-2 @ Storage : cannot save");
  EXPECT_EQ(error.detailedDescription(),
            "[code: -2] cannot save | REASON: read-only |  @ Storage | UserInfo: "
            "[\"attempts\": 3, \"path\": \"/tmp/a\"]");
  EXPECT_EQ(error.detailedDescription_MultiLine(),
            "ERROR : cannot save\nCODE   : -2 @ Storage\nREASON: read-only\nUserInfo: "
            "[\"attempts\": 3, \"path\": \"/tmp/a\"]");
}

TEST(Error, EmptyDomainHasNoSuffix) {
  const Error error("", 1, {{std::string(kLocalizedDescriptionKey), std::string("plain")}});
  EXPECT_EQ(error.descriptionTitle(), "1 : plain");
  EXPECT_EQ(error.detailedDescription(), "[code: 1] plain");
  EXPECT_EQ(error.detailedDescription_MultiLine(), "ERROR : plain\nCODE   : 1");
}

TEST(Error, MissingDescriptionFallsBackToDomainAndCode) {
  const Error error("Net", 4);
  EXPECT_EQ(error.localizedDescription(), "The operation could not be completed (Net error 4)");
}

TEST(Error, UnderlyingErrorIsKeptAndShownInUserInfo) {
  const Error cause = WTF("cause", 1);
  const Error error("Outer", 2, {{std::string(kLocalizedDescriptionKey), std::string("outer")}},
                    cause);
  ASSERT_TRUE(error.underlyingError().has_value());
  EXPECT_TRUE(error.underlyingError()->isIdenticalTo(cause));
  EXPECT_EQ(error.detailedDescription(),
            "[code: 2] outer |  @ Outer | UserInfo: [\"NSUnderlyingError\": Error Domain=FTW "
            "Code=1 \"cause\"]");
}

TEST(Error, EqualityIsByValueIdentityByRecord) {
  const Error a = WTF("same", 1);
  const Error b = WTF("same", 1);
  EXPECT_EQ(a, b);
  EXPECT_FALSE(a.isIdenticalTo(b));
  const Error copy = a;
  EXPECT_TRUE(copy.isIdenticalTo(a));
  EXPECT_NE(a, WTF("same", 2));
  EXPECT_NE(a, WTF("other", 1));
}

TEST(ErrorBridges, FromErrno) {
  const Error plain = Error::fromErrno(ENOENT);
  EXPECT_EQ(plain.domain(), "POSIX");
  EXPECT_EQ(plain.code(), ENOENT);
  EXPECT_EQ(plain.localizedDescription(), "No such file or directory");
  EXPECT_EQ(Error::fromErrno(EACCES, "open /root/x").localizedDescription(),
            "open /root/x: Permission denied");
}

TEST(Error, IsComparesDomainAndCode) {
  const Error missing = Error::fromErrno(ENOENT);
  EXPECT_TRUE(missing.is(kPOSIXErrorDomain, ENOENT));
  EXPECT_TRUE(missing.is(std::errc::no_such_file_or_directory));
  EXPECT_FALSE(missing.is(std::errc::permission_denied));
  EXPECT_FALSE(missing.is(kFTWDomain, ENOENT));
  EXPECT_TRUE(WTF("x", 2).is(kFTWDomain, 2));
  EXPECT_FALSE(WTF("x", ENOENT).is(std::errc::no_such_file_or_directory));
}

TEST(ErrorBridges, FromErrorCode) {
  const Error posix = Error::fromErrorCode(std::make_error_code(std::errc::file_exists));
  EXPECT_EQ(posix.domain(), "POSIX");
  EXPECT_EQ(posix.code(), EEXIST);
  EXPECT_EQ(posix.localizedDescription(), "File exists");
  const Error future = Error::fromErrorCode(std::make_error_code(std::future_errc::no_state));
  EXPECT_EQ(future.domain(), "future");
}

TEST(ErrorBridges, FromExceptions) {
  const Error original = WTF("thrown", 5);
  try {
    throw original;
  } catch (...) {
    EXPECT_TRUE(Error::fromCurrentException().isIdenticalTo(original));
  }
  try {
    throw std::runtime_error("boom");
  } catch (...) {
    const Error error = Error::fromCurrentException();
    EXPECT_EQ(error.domain(), "std::runtime_error");
    EXPECT_EQ(error.code(), 0);
    EXPECT_EQ(error.localizedDescription(), "boom");
  }
  try {
    throw std::system_error(std::make_error_code(std::errc::timed_out), "waiting");
  } catch (const std::exception& exception) {
    const Error error = Error::fromException(exception);
    EXPECT_EQ(error.domain(), "POSIX");
    EXPECT_EQ(error.code(), ETIMEDOUT);
    EXPECT_EQ(error.localizedDescription(), exception.what());
  }
  try {
    throw 42;
  } catch (...) {
    EXPECT_EQ(Error::fromCurrentException().localizedDescription(), "unknown exception");
  }
  EXPECT_EQ(Error::fromCurrentException().localizedDescription(), "no exception");
}

TEST(Error, PrintedForm) {
  std::ostringstream out;
  out << WTF("say \"hi\"", 3);
  EXPECT_EQ(out.str(), "Error Domain=FTW Code=3 \"say \\\"hi\\\"\"");
}

}  // namespace
}  // namespace mornik
