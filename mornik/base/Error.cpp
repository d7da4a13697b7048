#include "mornik/base/Error.hpp"

#include <cstdlib>
#include <cstring>
#include <ostream>
#include <sstream>
#include <typeinfo>

#include "mornik/base/Describe.hpp"
#include "mornik/base/TypeName.hpp"

namespace mornik {

struct ErrorRecord {
  std::string domain;
  std::int64_t code = 0;
  UserInfo userInfo;
  std::shared_ptr<const ErrorRecord> underlying;
  // Cached, so that what() and localizedDescription() can hand out references.
  std::string description;
};

namespace {

std::string defaultDescription(std::string_view domain, std::int64_t code) {
  return "The operation could not be completed (" + std::string(domain) + " error " +
         std::to_string(code) + ")";
}

std::optional<std::string> textEntry(const UserInfo& info, std::string_view key) {
  const auto found = info.find(key);
  if (found == info.end()) return std::nullopt;
  if (const auto* text = std::get_if<std::string>(&found->second)) return *text;
  return describeUserInfoValue(found->second);
}

std::shared_ptr<const ErrorRecord> makeRecord(std::string domain, std::int64_t code,
                                              UserInfo userInfo,
                                              std::shared_ptr<const ErrorRecord> underlying) {
  auto record = std::make_shared<ErrorRecord>();
  record->description =
      textEntry(userInfo, kLocalizedDescriptionKey).value_or(defaultDescription(domain, code));
  record->domain = std::move(domain);
  record->code = code;
  record->userInfo = std::move(userInfo);
  record->underlying = std::move(underlying);
  return record;
}

bool recordsEqual(const ErrorRecord* a, const ErrorRecord* b) {
  if (a == b) return true;
  if (a == nullptr || b == nullptr) return false;
  return a->domain == b->domain && a->code == b->code && a->userInfo == b->userInfo &&
         recordsEqual(a->underlying.get(), b->underlying.get());
}

std::string domainSuffix(const std::string& domain) {
  return domain.empty() ? std::string() : " @ " + domain;
}

std::optional<std::string> reasonPart(const Error& error) {
  auto reason = error.localizedFailureReason();
  if (!reason) return std::nullopt;
  return "REASON: " + *reason;
}

// The user info without the description and reason entries, printed as a
// dictionary literal; an underlying error appears under kUnderlyingErrorKey.
std::optional<std::string> userInfoPart(const Error& error) {
  std::map<std::string, std::string> shown;
  for (const auto& [key, value] : error.userInfo()) {
    if (key == kLocalizedDescriptionKey || key == kLocalizedFailureReasonErrorKey) continue;
    shown.emplace(key, describeUserInfoValue(value));
  }
  if (auto underlying = error.underlyingError()) {
    std::ostringstream printed;
    printed << *underlying;
    shown.emplace(std::string(kUnderlyingErrorKey), printed.str());
  }
  if (shown.empty()) return std::nullopt;
  std::string text = "UserInfo: [";
  bool first = true;
  for (const auto& [key, value] : shown) {
    if (!first) text += ", ";
    first = false;
    text += quoted(key);
    text += ": ";
    text += value;
  }
  text += "]";
  return text;
}

std::string systemText(int errnoValue) {
  char buffer[256];
  // GNU strerror_r: returns a pointer to the text (maybe not `buffer`).
  const char* text = strerror_r(errnoValue, buffer, sizeof buffer);
  return text != nullptr ? std::string(text) : "Unknown error " + std::to_string(errnoValue);
}

std::string withContext(std::string_view context, std::string text) {
  if (context.empty()) return text;
  return std::string(context) + ": " + text;
}

}  // namespace

Error::Error(std::string domain, std::int64_t code, UserInfo userInfo)
    : record_(makeRecord(std::move(domain), code, std::move(userInfo), nullptr)) {}

Error::Error(std::string domain, std::int64_t code, UserInfo userInfo, const Error& underlying)
    : record_(makeRecord(std::move(domain), code, std::move(userInfo), underlying.record_)) {}

const std::string& Error::domain() const noexcept { return record_->domain; }

std::int64_t Error::code() const noexcept { return record_->code; }

const UserInfo& Error::userInfo() const noexcept { return record_->userInfo; }

const std::string& Error::localizedDescription() const noexcept { return record_->description; }

std::optional<std::string> Error::localizedFailureReason() const {
  return textEntry(record_->userInfo, kLocalizedFailureReasonErrorKey);
}

std::optional<Error> Error::underlyingError() const {
  if (!record_->underlying) return std::nullopt;
  Error underlying = *this;
  underlying.record_ = record_->underlying;
  return underlying;
}

std::string Error::descriptionTitle() const {
  return std::to_string(code()) + domainSuffix(domain()) + " : " + localizedDescription();
}

std::string Error::detailedDescription() const {
  std::string text = "[code: " + std::to_string(code()) + "] " + localizedDescription();
  if (auto reason = reasonPart(*this)) text += " | " + *reason;
  if (!domain().empty()) text += " | " + domainSuffix(domain());
  if (auto info = userInfoPart(*this)) text += " | " + *info;
  return text;
}

std::string Error::detailedDescription_MultiLine() const {
  std::string text = "ERROR : " + localizedDescription();
  text += "\nCODE   : " + std::to_string(code()) + domainSuffix(domain());
  if (auto reason = reasonPart(*this)) text += "\n" + *reason;
  if (auto info = userInfoPart(*this)) text += "\n" + *info;
  return text;
}

const char* Error::what() const noexcept { return record_->description.c_str(); }

bool operator==(const Error& a, const Error& b) {
  return recordsEqual(a.record_.get(), b.record_.get());
}

Error Error::fromErrno(int errnoValue, std::string_view context) {
  return Error(
      std::string(kPOSIXErrorDomain), errnoValue,
      {{std::string(kLocalizedDescriptionKey), withContext(context, systemText(errnoValue))}});
}

Error Error::fromErrorCode(const std::error_code& code, std::string_view context) {
  const auto& category = code.category();
  const bool posix = category == std::generic_category() || category == std::system_category();
  return Error(posix ? std::string(kPOSIXErrorDomain) : std::string(category.name()), code.value(),
               {{std::string(kLocalizedDescriptionKey), withContext(context, code.message())}});
}

Error Error::fromException(const std::exception& exception) {
  if (const auto* error = dynamic_cast<const Error*>(&exception)) return *error;
  if (const auto* system = dynamic_cast<const std::system_error*>(&exception)) {
    const auto& category = system->code().category();
    const bool posix = category == std::generic_category() || category == std::system_category();
    return Error(posix ? std::string(kPOSIXErrorDomain) : std::string(category.name()),
                 system->code().value(),
                 {{std::string(kLocalizedDescriptionKey), std::string(system->what())}});
  }
  return Error(detail::demangledTypeName(typeid(exception)), 0,
               {{std::string(kLocalizedDescriptionKey), std::string(exception.what())}});
}

Error Error::fromExceptionPtr(const std::exception_ptr& exception) {
  if (!exception) {
    return Error(std::string(kCxxErrorDomain), 0,
                 {{std::string(kLocalizedDescriptionKey), std::string("no exception")}});
  }
  try {
    std::rethrow_exception(exception);
  } catch (const std::exception& caught) {
    return fromException(caught);
  } catch (...) {
    return Error(std::string(kCxxErrorDomain), 0,
                 {{std::string(kLocalizedDescriptionKey), std::string("unknown exception")}});
  }
}

Error Error::fromCurrentException() { return fromExceptionPtr(std::current_exception()); }

std::ostream& operator<<(std::ostream& out, const Error& error) {
  return out << "Error Domain=" << error.domain() << " Code=" << error.code() << ' '
             << quoted(error.localizedDescription());
}

Error WTF(std::string message, std::int64_t code) {
  return Error(std::string(kFTWDomain), code,
               {{std::string(kLocalizedDescriptionKey), std::move(message)}});
}

std::string describeUserInfoValue(const UserInfoValue& value) {
  return std::visit(
      [](const auto& v) -> std::string {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, std::string>) {
          return quoted(v);
        } else {
          return describe(v);
        }
      },
      value);
}

}  // namespace mornik
