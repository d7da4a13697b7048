#include "mornik/text/Json.hpp"

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <utility>

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

// A double as the JSON library writes it ("1e+300", "nan", "-inf").
std::string numberText(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  return Json(value).dump();
}

Error tooDeep(const char* what) {
  return WTF("can't " + std::string(what) + " JSON nested deeper than " +
                 std::to_string(kJsonMaxDepth) + " levels",
             0);
}

// Builds the JSON model from the parser's events, like the JSON library's
// own builder, but refuses to open a container deeper than kJsonMaxDepth and
// a number that is not finite (1e400), so that no value it returns is too
// deep for the JSON library's recursive copy, writing or conversion.
class ModelBuilder {
 public:
  explicit ModelBuilder(Json& root) : root_(root) {}

  bool null() { return put(nullptr); }
  bool boolean(bool value) { return put(value); }
  bool number_integer(Json::number_integer_t value) { return put(value); }    // NOLINT
  bool number_unsigned(Json::number_unsigned_t value) { return put(value); }  // NOLINT
  bool number_float(Json::number_float_t value, const std::string& text) {    // NOLINT
    if (!std::isfinite(value)) {
      detail::throwNumberDoesNotFit(text.empty() ? numberText(value) : text, 64, true, true);
    }
    return put(value);
  }
  bool string(std::string& value) { return put(std::move(value)); }
  bool binary(Json::binary_t& value) { return put(std::move(value)); }
  bool start_object(std::size_t /*size*/) { return open(Json::value_t::object); }  // NOLINT
  bool key(std::string& key) {
    key_ = &(*stack_.back())[std::move(key)];
    return true;
  }
  bool end_object() { return close(); }                                          // NOLINT
  bool start_array(std::size_t /*size*/) { return open(Json::value_t::array); }  // NOLINT
  bool end_array() { return close(); }                                           // NOLINT
  template <class Exception>
  bool parse_error(std::size_t /*position*/, const std::string& /*token*/,  // NOLINT
                   const Exception& exception) {
    throw exception;
  }

 private:
  Json* place(Json&& value) {
    if (stack_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    if (stack_.back()->is_array()) return &stack_.back()->emplace_back(std::move(value));
    *key_ = std::move(value);
    return key_;
  }
  bool put(Json&& value) {
    place(std::move(value));
    return true;
  }
  bool open(Json::value_t type) {
    if (stack_.size() >= kJsonMaxDepth) throw tooDeep("decode");
    stack_.push_back(place(Json(type)));
    return true;
  }
  bool close() {
    stack_.pop_back();
    return true;
  }

  Json& root_;
  std::vector<Json*> stack_;
  Json* key_ = nullptr;
};

}  // namespace

// ---- ISO 8601 ----

std::optional<std::string> ISO8601DateFormatter::string(Date date) const {
  // Milliseconds since 1970 of 0000-01-01T00:00:00.000Z and of 10000-01-01.
  constexpr double kFirst = -62'167'219'200'000.0;
  constexpr double kEnd = 253'402'300'800'000.0;
  const double rounded = std::round(date.unixTimestamp() * 1000.0);
  if (!(rounded >= kFirst && rounded < kEnd)) return std::nullopt;  // also NaN
  const auto ms = static_cast<std::int64_t>(rounded);
  const std::int64_t days = floorDiv(ms, kMillisecondsPerDay);
  std::int64_t rest = ms - days * kMillisecondsPerDay;
  const std::chrono::year_month_day ymd{
      std::chrono::sys_days{std::chrono::days{static_cast<int>(days)}}};
  const auto hour = rest / 3'600'000;
  rest %= 3'600'000;
  const auto minute = rest / 60'000;
  rest %= 60'000;
  std::array<char, 64> buffer{};
  std::snprintf(buffer.data(), buffer.size(), "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                static_cast<unsigned>(ymd.day()), static_cast<int>(hour), static_cast<int>(minute),
                static_cast<int>(rest / 1000), static_cast<int>(rest % 1000));
  return std::string(buffer.data());
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
    auto text = JavaScriptISO8601DateFormatter().string(date);
    if (!text) {
      throw WTF("can't encode the date " + numberText(date.timeIntervalSinceReferenceDate()) +
                    " as ISO 8601: it is outside the years 0000 to 9999",
                0);
    }
    json = *std::move(text);
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

[[noreturn]] void throwNotA(const char* expected, const char* actual) {
  throw Json::type_error::create(
      302, "type must be " + std::string(expected) + ", but is " + std::string(actual), nullptr);
}

[[noreturn]] void throwNumberDoesNotFit(const std::string& number, int bits, bool isSigned,
                                        bool isFloating) {
  const std::string kind =
      isFloating ? "floating-point number" : (isSigned ? "integer" : "unsigned integer");
  const std::string article = bits == 8 ? "an " : "a ";
  throw Json::out_of_range::create(
      406,
      "number " + number + " does not fit in " + article + std::to_string(bits) + "-bit " + kind,
      nullptr);
}

void checkEncodable(const Json& json) {
  // Depth first with an explicit stack: (value, how many containers hold it).
  std::vector<std::pair<const Json*, std::size_t>> pending{{&json, 0}};
  while (!pending.empty()) {
    const auto [value, depth] = pending.back();
    pending.pop_back();
    if (value->is_structured()) {
      if (depth >= kJsonMaxDepth) throw tooDeep("encode");
      for (const Json& child : *value) {
        if (child.is_structured() || child.is_number_float())
          pending.emplace_back(&child, depth + 1);
      }
    } else if (const auto* number = value->get_ptr<const Json::number_float_t*>()) {
      if (!std::isfinite(*number))
        throw WTF("can't encode the number " + numberText(*number) + " in JSON", 0);
    }
  }
}

Json parseJson(std::string_view text) {
  Json root;
  ModelBuilder builder(root);
  Json::sax_parse(text, &builder, Json::input_format_t::json, true);
  return root;
}

Json parseCbor(std::span<const std::uint8_t> archive) {
  Json root;
  ModelBuilder builder(root);
  Json::sax_parse(archive.begin(), archive.end(), &builder, Json::input_format_t::cbor, true);
  return root;
}

Data toCbor(const Json& json) {
  checkEncodable(json);
  return Json::to_cbor(json);
}

std::string dumpJson(const Json& json, OutputFormatting formatting) {
  checkEncodable(json);
  std::string text = json.dump(hasFlag(formatting, OutputFormatting::prettyPrinted) ? 2 : -1, ' ',
                               false, Json::error_handler_t::strict);
  if (hasFlag(formatting, OutputFormatting::withoutEscapingSlashes)) return text;
  // A '/' byte only occurs inside JSON strings (it is never part of a
  // multi-byte UTF-8 sequence), so each one becomes "\/".
  std::size_t at = text.find('/');
  if (at == std::string::npos) return text;
  std::string escaped;
  escaped.reserve(text.size() + text.size() / 16);
  std::size_t from = 0;
  while (at != std::string::npos) {
    escaped.append(text, from, at - from);
    escaped.append("\\/");
    from = at + 1;
    at = text.find('/', from);
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
    Json value = detail::parseJson(bytes);
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
