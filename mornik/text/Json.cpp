#include "mornik/text/Json.hpp"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace mornik {

namespace {

thread_local detail::DateEncoding tlsDateEncoding = detail::DateEncoding::secondsSinceReferenceDate;

constexpr std::int64_t kMillisecondsPerDay = 86'400'000;

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Reads exactly `count` decimal digits at `pos`.
bool digits(std::string_view text, std::size_t& pos, std::size_t count, int& value) {
  if (pos + count > text.size()) return false;
  value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const char c = text[pos + i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  pos += count;
  return true;
}

bool literal(std::string_view text, std::size_t& pos, char c) {
  if (pos >= text.size() || text[pos] != c) return false;
  ++pos;
  return true;
}

// The text with each byte that does not start a valid UTF-8 sequence
// replaced by U+FFFD.
std::string withReplacementCharacters(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t length = 1;
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead >= 0xC2 && lead <= 0xDF) length = 2;
    if (lead >= 0xE0 && lead <= 0xEF) length = 3;
    if (lead >= 0xF0 && lead <= 0xF4) length = 4;
    if (lead < 0x80 || (i + length <= text.size() && isValidUTF8(text.substr(i, length)))) {
      out.append(text.substr(i, length));
      i += length;
    } else {
      out.append("\xEF\xBF\xBD");
      ++i;
    }
  }
  return out;
}

}  // namespace

// ---- ISO 8601 ----

std::string ISO8601DateFormatter::string(Date date) const {
  const auto ms = static_cast<std::int64_t>(std::llround(date.unixTimestamp() * 1000.0));
  const std::int64_t days = floorDiv(ms, kMillisecondsPerDay);
  std::int64_t rest = ms - days * kMillisecondsPerDay;
  const std::chrono::year_month_day ymd{
      std::chrono::sys_days{std::chrono::days{static_cast<int>(days)}}};
  const auto hour = rest / 3'600'000;
  rest %= 3'600'000;
  const auto minute = rest / 60'000;
  rest %= 60'000;
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                static_cast<unsigned>(ymd.day()), static_cast<int>(hour), static_cast<int>(minute),
                static_cast<int>(rest / 1000), static_cast<int>(rest % 1000));
  return buffer;
}

std::optional<Date> ISO8601DateFormatter::date(std::string_view text) const {
  std::size_t pos = 0;
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  if (!digits(text, pos, 4, year) || !literal(text, pos, '-') || !digits(text, pos, 2, month) ||
      !literal(text, pos, '-') || !digits(text, pos, 2, day) || !literal(text, pos, 'T') ||
      !digits(text, pos, 2, hour) || !literal(text, pos, ':') || !digits(text, pos, 2, minute) ||
      !literal(text, pos, ':') || !digits(text, pos, 2, second)) {
    return std::nullopt;
  }
  double fraction = 0;
  if (literal(text, pos, '.')) {
    double scale = 0.1;
    const std::size_t start = pos;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 9) {
      fraction += (text[pos] - '0') * scale;
      scale /= 10;
      ++pos;
    }
    if (pos == start) return std::nullopt;
  }
  int offsetSeconds = 0;
  if (!literal(text, pos, 'Z')) {
    if (pos >= text.size() || (text[pos] != '+' && text[pos] != '-')) return std::nullopt;
    const int sign = text[pos++] == '-' ? -1 : 1;
    int offsetHours = 0;
    int offsetMinutes = 0;
    if (!digits(text, pos, 2, offsetHours) || !literal(text, pos, ':') ||
        !digits(text, pos, 2, offsetMinutes) || offsetHours > 23 || offsetMinutes > 59) {
      return std::nullopt;
    }
    offsetSeconds = sign * (offsetHours * 3600 + offsetMinutes * 60);
  }
  if (pos != text.size() || hour > 23 || minute > 59 || second > 59) return std::nullopt;
  const std::chrono::year_month_day ymd{std::chrono::year{year},
                                        std::chrono::month{static_cast<unsigned>(month)},
                                        std::chrono::day{static_cast<unsigned>(day)}};
  if (!ymd.ok()) return std::nullopt;
  const auto days = std::chrono::sys_days{ymd}.time_since_epoch().count();
  const double unix = static_cast<double>(days) * 86400.0 + hour * 3600.0 + minute * 60.0 + second -
                      offsetSeconds + fraction;
  return Date::fromUnixTimestamp(unix);
}

const ISO8601DateFormatter& JavaScriptISO8601DateFormatter() {  // NOLINT
  static const ISO8601DateFormatter formatter;
  return formatter;
}

// ---- Date and URL ----

void to_json(Json& json, const Date& date) {  // NOLINT(readability-identifier-naming)
  if (tlsDateEncoding == detail::DateEncoding::iso8601) {
    json = JavaScriptISO8601DateFormatter().string(date);
  } else {
    json = date.timeIntervalSinceReferenceDate();
  }
}

void from_json(const Json& json, Date& date) {  // NOLINT(readability-identifier-naming)
  if (json.is_number()) {
    date = Date(json.get<double>());
    return;
  }
  if (json.is_string()) {
    if (auto parsed = JavaScriptISO8601DateFormatter().date(json.get_ref<const std::string&>())) {
      date = *parsed;
      return;
    }
    throw Json::type_error::create(
        302, "not an ISO 8601 date: " + json.get_ref<const std::string&>(), &json);
  }
  throw Json::type_error::create(
      302, "type must be number or ISO 8601 string, but is " + std::string(json.type_name()),
      &json);
}

void to_json(Json& json, const URL& url) {  // NOLINT(readability-identifier-naming)
  json = url.absoluteString();
}

void from_json(const Json& json, URL& url) {  // NOLINT(readability-identifier-naming)
  const auto& text = json.get_ref<const std::string&>();
  auto parsed = URL::parse(text);
  if (!parsed) throw Json::type_error::create(302, "not a URL: " + text, &json);
  url = *std::move(parsed);
}

// ---- Helpers ----

namespace detail {

DateEncoding currentDateEncoding() noexcept { return tlsDateEncoding; }

DateEncodingScope::DateEncodingScope(DateEncoding encoding) noexcept : previous_(tlsDateEncoding) {
  tlsDateEncoding = encoding;
}
DateEncodingScope::~DateEncodingScope() { tlsDateEncoding = previous_; }

Error jsonError(const std::exception& exception) {
  if (const auto* json = dynamic_cast<const Json::exception*>(&exception)) {
    return Error(std::string(kJSONErrorDomain), json->id,
                 {{std::string(kLocalizedDescriptionKey), std::string(json->what())}});
  }
  return Error::fromException(exception);
}

Error currentJsonError() {
  try {
    throw;
  } catch (const std::exception& exception) {
    return jsonError(exception);
  } catch (...) {
    return Error::fromCurrentException();
  }
}

std::string dumpJson(const Json& json, OutputFormatting formatting) {
  std::string text = json.dump(hasFlag(formatting, OutputFormatting::prettyPrinted) ? 2 : -1, ' ',
                               false, Json::error_handler_t::strict);
  if (hasFlag(formatting, OutputFormatting::withoutEscapingSlashes)) return text;
  // A '/' byte only occurs inside JSON strings (it is never part of a
  // multi-byte UTF-8 sequence), so each one becomes "\/".
  const char* slash = static_cast<const char*>(std::memchr(text.data(), '/', text.size()));
  if (slash == nullptr) return text;
  std::string escaped;
  escaped.reserve(text.size() + text.size() / 16);
  std::size_t from = 0;
  while (slash != nullptr) {
    const auto at = static_cast<std::size_t>(slash - text.data());
    escaped.append(text, from, at - from);
    escaped.append("\\/");
    from = at + 1;
    slash = static_cast<const char*>(std::memchr(text.data() + from, '/', text.size() - from));
  }
  escaped.append(text, from, std::string::npos);
  return escaped;
}

std::optional<Error> checkDecodableText(std::string_view text) {
  if (isValidUTF8(text)) return std::nullopt;
  return WTF("can't convert string to data: " + withReplacementCharacters(text), 0);
}

}  // namespace detail

Result<std::vector<std::string>> asJSONArray(std::string_view text) {
  return decodeFromJson<std::vector<std::string>>(text);
}

Result<Json> jsonObject(std::string_view bytes, ReadingOptions options) {
  try {
    Json value = Json::parse(bytes);
    const bool fragments = (static_cast<unsigned>(options) &
                            static_cast<unsigned>(ReadingOptions::fragmentsAllowed)) != 0;
    if (!fragments && !value.is_object() && !value.is_array()) {
      return Error(std::string(kJSONErrorDomain), 101,
                   {{std::string(kLocalizedDescriptionKey),
                     "the JSON text is " + std::string(value.type_name()) +
                         ", not an array or object, and fragments are not allowed"}});
    }
    return value;
  } catch (...) {
    return detail::currentJsonError();
  }
}

Result<Json> jsonObject(const Data& bytes, ReadingOptions options) {
  return jsonObject(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                    options);
}

}  // namespace mornik
