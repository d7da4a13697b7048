#pragma once

#include <cstdint>
#include <exception>
#include <iosfwd>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <variant>

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// A value in an error's user-info dictionary.
using UserInfoValue = std::variant<std::string, std::int64_t, double, bool>;
// An error's user-info dictionary, ordered by key.
using UserInfo = std::map<std::string, UserInfoValue, std::less<>>;

// User-info keys the library reads.
inline constexpr std::string_view kLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr std::string_view kLocalizedFailureReasonErrorKey = "NSLocalizedFailureReason";
// The key under which an underlying error appears in printed user info.
inline constexpr std::string_view kUnderlyingErrorKey = "NSUnderlyingError";

// The error domains the library uses. A subsystem that reports errors of its
// own domain names it beside these (kJSONErrorDomain in text/Json.hpp).
//
// The domain of the errors the library itself makes with WTF().
inline constexpr std::string_view kFTWDomain = "FTW";
// The domain of errors bridged from errno and the generic/system categories;
// the code is the errno value.
inline constexpr std::string_view kPOSIXErrorDomain = "POSIX";
// The domain of an exception that is not a std::exception, or of a missing
// one (Error::fromExceptionPtr); the code is 0.
inline constexpr std::string_view kCxxErrorDomain = "C++";

struct ErrorRecord;

// The library's one error type: a cheap, copyable, immutable value sharing a
// record of domain, integer code, user-info dictionary and optional
// underlying error. The localized description comes from the user-info entry
// kLocalizedDescriptionKey, the failure reason from
// kLocalizedFailureReasonErrorKey.
//
//   mornik::Error e = mornik::WTF("disk full", 7);
//   e.descriptionTitle();     // "7 @ FTW : disk full"
//   e.detailedDescription();  // "[code: 7] disk full |  @ FTW"
//
// Error derives from std::exception so that coroutines and blocks may throw
// it; `what()` is the localized description. Errors of other kinds (errno,
// std::error_code, any exception) are bridged with the `from...` functions.
//
// Thread safety: an Error is immutable; copies may be used from any thread.
class Error : public std::exception {
 public:
  Error(std::string domain, std::int64_t code, UserInfo userInfo = {});
  Error(std::string domain, std::int64_t code, UserInfo userInfo, const Error& underlying);

  Error(const Error&) = default;
  Error(Error&&) noexcept = default;
  Error& operator=(const Error&) = default;
  Error& operator=(Error&&) noexcept = default;
  ~Error() override = default;

  const std::string& domain() const noexcept;
  std::int64_t code() const noexcept;
  const UserInfo& userInfo() const noexcept;
  // The user-info description, or a generic text naming domain and code.
  const std::string& localizedDescription() const noexcept;
  std::optional<std::string> localizedFailureReason() const;
  std::optional<Error> underlyingError() const;

  // "<code>[ @ <domain>] : <localizedDescription>"
  std::string descriptionTitle() const;
  // "[code: <code>] <localizedDescription>", then, each only if present,
  // " | REASON: <reason>", " |  @ <domain>", " | UserInfo: <other user info>".
  std::string detailedDescription() const;
  // "ERROR : <description>\nCODE   : <code>[ @ <domain>]", then, each only if
  // present, "\nREASON: <reason>" and "\nUserInfo: <other user info>".
  std::string detailedDescription_MultiLine() const;  // NOLINT(readability-identifier-naming)

  const char* what() const noexcept override;

  // Whether the error has this domain and code:
  //   if (error.is(mornik::kPOSIXErrorDomain, ENOENT)) ...   // no such file
  bool is(std::string_view domain, std::int64_t code) const noexcept {
    return this->code() == code && this->domain() == domain;
  }
  // The same for errors bridged from errno: domain kPOSIXErrorDomain.
  bool is(std::errc condition) const noexcept {
    return is(kPOSIXErrorDomain, static_cast<std::int64_t>(condition));
  }

  // Whether both are the same record (copies of one error).
  bool isIdenticalTo(const Error& other) const noexcept { return record_ == other.record_; }
  // Equal domain, code, user info and underlying errors.
  friend bool operator==(const Error& a, const Error& b);

  // Bridges. `context`, when given, is put in front of the system's text:
  // "<context>: <strerror text>".
  static Error fromErrno(int errnoValue, std::string_view context = {});
  static Error fromErrorCode(const std::error_code& code, std::string_view context = {});
  // A mornik::Error is returned as is; std::system_error keeps its code and
  // category; any other exception becomes domain = its type's name, code 0,
  // description = what().
  static Error fromException(const std::exception& exception);
  static Error fromExceptionPtr(const std::exception_ptr& exception);
  // The exception being handled (inside a catch block), else a "no exception" error.
  static Error fromCurrentException();

 private:
  std::shared_ptr<const ErrorRecord> record_;
};

// Declared again at namespace scope, so that it is exported with the class.
bool operator==(const Error& a, const Error& b);

// The printed form: Error Domain=<domain> Code=<code> "<description>"
std::ostream& operator<<(std::ostream& out, const Error& error);

// The library's own error: domain "FTW", the given code, and user info
// holding exactly the description entry `message`.
Error WTF(std::string message, std::int64_t code);

// The text of a user-info value as the library prints it (text quoted).
std::string describeUserInfoValue(const UserInfoValue& value);

}  // namespace mornik

MORNIK_EXPORTS_END
