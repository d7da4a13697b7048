#pragma once

#include <concepts>
#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <ranges>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <nlohmann/json.hpp>

#include "mornik/base/Result.hpp"
#include "mornik/text/Date.hpp"
#include "mornik/text/URL.hpp"

// JSON text and bytes from any encodable value and back, with failures as
// Result values.
//
//   struct Window { int width = 0; std::string title; };
//   NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(Window, width, title)
//
//   auto text = mornik::asJson(Window{640, "Notes"},
//                              mornik::OutputFormatting::prettyPrinted);
//   auto back = mornik::decodeFromJson<Window>(text.value());   // Result<Window>
//   mornik::asJsonISO8601(mornik::Date::fromUnixTimestamp(0.5));
//                                          // "\"1970-01-01T00:00:00.500Z\""
//
// Encodable and decodable types are those with nlohmann-json's `to_json` /
// `from_json` (free functions found by argument-dependent lookup, the
// NLOHMANN_DEFINE_TYPE_* macros, or an adl_serializer specialisation), which
// includes numbers, text, bool, standard containers, optionals (value or
// null; the specialisation below) and the
// library's Date and URL (serializers below: include this header wherever
// a to_json / from_json of yours uses them).
//
// Dates: by default a Date is the number of seconds since 2001-01-01
// 00:00:00 UTC (a JSON number); asJsonISO8601 writes every Date as ISO 8601
// text in UTC with milliseconds instead. Decoding accepts either form.
// URLs are their absolute text.
//
// Output: UTF-8 without a byte order mark. Object keys always come out in
// ascending byte order (nlohmann::json keeps objects sorted), so sortedKeys is
// always in effect. Pretty printing indents by two spaces. Slashes in text
// are written as "\/" unless withoutEscapingSlashes is given. Text holding
// invalid UTF-8 does not encode (type_error 316 below).
//
// Errors: encoder and decoder failures have domain "JSON" (kJSONErrorDomain),
// the JSON library's error id as code (101 syntax error, 302 wrong type,
// 316 invalid UTF-8, 403 missing key, ...) and its message as description:
//   "[json.exception.type_error.302] type must be string, but is number"
// The library's own failures are WTF errors (code 0):
//   "can't convert Data to string"           bytes that are not UTF-8
//   "can't convert string to data: <text>"   text that is not UTF-8 (decodeFromJson;
//                                            invalid bytes of <text> shown as U+FFFD)
//
// Thread safety: every function may be called from any thread.

// std::optional encodes as its value or null, and decodes null as nothing
// (this version of the JSON library has no serializer of its own for it).
template <class T>
struct nlohmann::adl_serializer<std::optional<T>> {
  static void to_json(json& out, const std::optional<T>& value) {  // NOLINT
    if (value) {
      out = *value;
    } else {
      out = nullptr;
    }
  }
  static void from_json(const json& in, std::optional<T>& value) {  // NOLINT
    if (in.is_null()) {
      value.reset();
    } else {
      value = in.template get<T>();
    }
  }
};

namespace mornik {

using Json = nlohmann::json;

// Bytes, as in StringUtils.hpp.
using Data = std::vector<std::uint8_t>;

inline constexpr std::string_view kJSONErrorDomain = "JSON";

// Types that encode to / decode from JSON. A type without a default value
// decodes through its own nlohmann::adl_serializer (static from_json).
template <class T>
concept Encodable = std::is_constructible_v<Json, const T&>;
template <class T>
concept Decodable = requires(const Json& json) {
  json.template get<T>();
};

// ---- Output formatting ----

enum class OutputFormatting : unsigned {
  none = 0,
  prettyPrinted = 1U << 0,
  sortedKeys = 1U << 1,
  withoutEscapingSlashes = 1U << 3,
};
constexpr OutputFormatting operator|(OutputFormatting a, OutputFormatting b) {
  return static_cast<OutputFormatting>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}
constexpr bool hasFlag(OutputFormatting set, OutputFormatting flag) {
  return (static_cast<unsigned>(set) & static_cast<unsigned>(flag)) == static_cast<unsigned>(flag);
}

// ---- ISO 8601 dates ----

// The process-wide ISO 8601 formatter of asJsonISO8601: internet date-time
// with fractional seconds, always in UTC, "2024-01-31T12:34:56.789Z".
// Formatting rounds to the nearest millisecond. Parsing accepts 0 to 9
// fraction digits and a "Z" or "+hh:mm" / "-hh:mm" zone.
//
// Thread safety: stateless after creation; use it from any thread.
class ISO8601DateFormatter {
 public:
  std::string string(Date date) const;
  std::optional<Date> date(std::string_view text) const;
};
// The shared formatter.
const ISO8601DateFormatter&
JavaScriptISO8601DateFormatter();  // NOLINT(readability-identifier-naming)

namespace detail {

// How to_json writes a Date on this thread (asJsonISO8601 switches it for
// the length of one encoding).
enum class DateEncoding { secondsSinceReferenceDate, iso8601 };
DateEncoding currentDateEncoding() noexcept;
class DateEncodingScope {
 public:
  explicit DateEncodingScope(DateEncoding encoding) noexcept;
  ~DateEncodingScope();
  DateEncodingScope(const DateEncodingScope&) = delete;
  DateEncodingScope& operator=(const DateEncodingScope&) = delete;

 private:
  DateEncoding previous_;
};

// The error for an exception thrown while encoding or decoding.
Error jsonError(const std::exception& exception);
Error currentJsonError();
// JSON text of an encoded value with the given formatting.
std::string dumpJson(const Json& json, OutputFormatting formatting);
// decodeFromJson's failure for text that is not UTF-8, or nothing when it is.
std::optional<Error> checkDecodableText(std::string_view text);

}  // namespace detail

void to_json(Json& json, const Date& date);    // NOLINT(readability-identifier-naming)
void from_json(const Json& json, Date& date);  // NOLINT(readability-identifier-naming)
void to_json(Json& json, const URL& url);      // NOLINT(readability-identifier-naming)
void from_json(const Json& json, URL& url);    // NOLINT(readability-identifier-naming)

// ---- Encoding ----

// The value as JSON text.
template <Encodable T>
Result<std::string> asJson(const T& value, OutputFormatting formatting = OutputFormatting::none) {
  try {
    return detail::dumpJson(Json(value), formatting);
  } catch (...) {
    return detail::currentJsonError();
  }
}

// The value as UTF-8 JSON bytes.
template <Encodable T>
Result<Data> asJsonData(const T& value, OutputFormatting formatting = OutputFormatting::none) {
  return asJson(value, formatting) |
         [](const std::string& text) { return Data(text.begin(), text.end()); };
}

// As asJson with default formatting, with every Date written as ISO 8601
// text (JavaScriptISO8601DateFormatter).
template <Encodable T>
Result<std::string> asJsonISO8601(const T& value) {
  detail::DateEncodingScope iso(detail::DateEncoding::iso8601);
  return asJson(value);
}

// A list of encodable values as a JSON array.
template <class L>
requires std::ranges::input_range<const L> && Encodable<std::ranges::range_value_t<L>>
    Result<std::string> asJSONString(const L& list) {
  try {
    Json array = Json::array();
    for (const auto& element : list) array.push_back(Json(element));
    return detail::dumpJson(array, OutputFormatting::none);
  } catch (...) {
    return detail::currentJsonError();
  }
}

namespace detail {
template <class K>
concept JsonObjectKey = std::is_convertible_v<const K&, std::string_view> || std::integral<K>;
}  // namespace detail

// A dictionary as a JSON object (text keys, or integer keys written as
// their decimal text).
template <class M>
requires detail::JsonObjectKey<typename M::key_type> && Encodable<typename M::mapped_type>
    Result<std::string> asJSONStrR(const M& dictionary) {  // NOLINT(readability-identifier-naming)
  try {
    Json object = Json::object();
    for (const auto& [key, value] : dictionary) {
      if constexpr (std::integral<typename M::key_type>) {
        object[std::to_string(key)] = Json(value);
      } else {
        object[std::string(std::string_view(key))] = Json(value);
      }
    }
    return detail::dumpJson(object, OutputFormatting::none);
  } catch (...) {
    return detail::currentJsonError();
  }
}
// The same, with nothing on any failure.
template <class M>
std::optional<std::string> asJSONStr(const M& dictionary) {
  return asJSONStrR(dictionary).maybeSuccess();
}

// ---- Decoding ----

// Decodes a value of type T from JSON text (any JSON value at the top).
template <Decodable T>
Result<T> decodeFromJson(std::string_view text) {
  if (auto invalid = detail::checkDecodableText(text)) return *std::move(invalid);
  try {
    return Json::parse(text).template get<T>();
  } catch (...) {
    return detail::currentJsonError();
  }
}

// Decodes a JSON array of strings.
Result<std::vector<std::string>> asJSONArray(std::string_view text);

// Options of jsonObject.
enum class ReadingOptions : unsigned {
  none = 0,
  // Accept a number, text, bool or null at the top, not only an array or object.
  fragmentsAllowed = 1U << 2,
};
constexpr ReadingOptions operator|(ReadingOptions a, ReadingOptions b) {
  return static_cast<ReadingOptions>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}

// The untyped JSON value of UTF-8 bytes. Without fragmentsAllowed, anything
// but an array or object at the top fails (syntax error, code 101).
Result<Json> jsonObject(std::string_view bytes, ReadingOptions options = ReadingOptions::none);
Result<Json> jsonObject(const Data& bytes, ReadingOptions options = ReadingOptions::none);

// The value under `key` of a JSON object, or `defaultValue` when the key is
// absent or its value is null. For use inside from_json: a value of the
// wrong type throws the decoder's type error (so the decoding fails, it is
// not replaced by the default), as does a container that is not an object.
template <Decodable T>
T decode(const Json& container, std::string_view key, T defaultValue) {
  if (!container.is_object()) {
    throw Json::type_error::create(
        302, "type must be object, but is " + std::string(container.type_name()), &container);
  }
  const auto found = container.find(key);
  if (found == container.end() || found->is_null()) return defaultValue;
  return found->template get<T>();
}

// ---- Keyed archive ----

// A binary keyed archive of the value: its JSON model written as CBOR
// (RFC 8949), the keys of objects as CBOR text strings, dates as numbers.
// `requiringSecureCoding` is accepted for the platform's signature; every
// archive is data only (no type names are stored and decoding never picks a
// type from the archive), which is what secure coding asks for.
template <Encodable T>
Result<Data> archived(const T& rootObject, bool requiringSecureCoding = true) {
  (void)requiringSecureCoding;
  try {
    return Json::to_cbor(Json(rootObject));
  } catch (...) {
    return detail::currentJsonError();
  }
}

// Reads a value of type T from an archive made by archived().
template <Decodable T>
Result<T> unarchivedObject(const Data& archive) {
  try {
    return Json::from_cbor(archive).template get<T>();
  } catch (...) {
    return detail::currentJsonError();
  }
}

}  // namespace mornik
