#include "mornik/base/Error.hpp"

#include <cerrno>
#include <future>
#include <sstream>
#include <system_error>

#include <gtest/gtest.h>

namespace mornik {
namespace {

TEST(Error, WTFHasTheFTWDomainTheCodeAndOnlyTheDescription) {
  const Error error = WTF("disk full", 7);
  EXPECT_EQ(error.domain(), "FTW");
  EXPECT_EQ(error.code(), 7);
  EXPECT_STREQ(error.what(), "disk full");
  ASSERT_EQ(error.userInfo().size(), 1U);
  EXPECT_EQ(std::get<std::string>(error.userInfo().at(std::string(kLocalizedDescriptionKey))),
            "disk full");
  EXPECT_EQ(error.localizedFailureReason(), std::nullopt);
  EXPECT_EQ(error.underlyingError(), std::nullopt);
  // Without a description: one made of the domain and code.
  EXPECT_EQ(Error("Net", 4).localizedDescription(),
            "The operation could not be completed (Net error 4)");
  // The underlying error is kept as it is.
  const Error cause = WTF("cause", 1);
  EXPECT_TRUE(Error("Outer", 2, {}, cause).underlyingError()->isIdenticalTo(cause));
}

TEST(Error, DescriptionTexts) {
  const auto info = [](std::string description) {
    return UserInfo{{std::string(kLocalizedDescriptionKey), std::move(description)}};
  };
  auto full = info("cannot save");
  full[std::string(kLocalizedFailureReasonErrorKey)] = std::string("read-only");
  full["path"] = std::string("/tmp/a");
  full["attempts"] = std::int64_t{3};
  const struct {
    Error error;
    const char* title;
    const char* detailed;
    const char* multiLine;
  } cases[] = {
      {WTF("disk full", 7), "7 @ FTW : disk full", "[code: 7] disk full |  @ FTW",
       "ERROR : disk full\nCODE   : 7 @ FTW"},
      {Error("Storage", -2, full), "-2 @ Storage : cannot save",
       "[code: -2] cannot save | REASON: read-only |  @ Storage | UserInfo: [\"attempts\": 3, "
       "\"path\": \"/tmp/a\"]",
       "ERROR : cannot save\nCODE   : -2 @ Storage\nREASON: read-only\nUserInfo: "
       "[\"attempts\": 3, \"path\": \"/tmp/a\"]"},
      {Error("", 1, info("plain")), "1 : plain", "[code: 1] plain", "ERROR : plain\nCODE   : 1"},
      {Error("Outer", 2, info("outer"), WTF("cause", 1)), "2 @ Outer : outer",
       "[code: 2] outer |  @ Outer | UserInfo: [\"NSUnderlyingError\": Error Domain=FTW "
       "Code=1 \"cause\"]",
       nullptr},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.descriptionTitle(), c.title);
    EXPECT_EQ(c.error.detailedDescription(), c.detailed);
    if (c.multiLine) {
      EXPECT_EQ(c.error.detailedDescription_MultiLine(), c.multiLine);
    }
  }
  std::ostringstream out;
  out << WTF("say \"hi\"", 3);
  EXPECT_EQ(out.str(), "Error Domain=FTW Code=3 \"say \\\"hi\\\"\"");
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

TEST(ErrorBridges, FromErrnoAndErrorCodesAndIsComparesDomainAndCode) {
  const Error missing = Error::fromErrno(ENOENT);
  EXPECT_EQ(missing.domain(), "POSIX");
  EXPECT_EQ(missing.localizedDescription(), "No such file or directory");
  EXPECT_EQ(Error::fromErrno(EACCES, "open /root/x").localizedDescription(),
            "open /root/x: Permission denied");
  EXPECT_TRUE(missing.is(kPOSIXErrorDomain, ENOENT));
  EXPECT_TRUE(missing.is(std::errc::no_such_file_or_directory));
  EXPECT_FALSE(missing.is(std::errc::permission_denied));
  EXPECT_FALSE(missing.is(kFTWDomain, ENOENT));
  EXPECT_TRUE(WTF("x", 2).is(kFTWDomain, 2));
  EXPECT_FALSE(WTF("x", ENOENT).is(std::errc::no_such_file_or_directory));
  const Error posix = Error::fromErrorCode(std::make_error_code(std::errc::file_exists));
  EXPECT_TRUE(posix.is(kPOSIXErrorDomain, EEXIST));
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

}  // namespace
}  // namespace mornik
