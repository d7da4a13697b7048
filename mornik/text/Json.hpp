#pragma once

#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <limits>
#include <map>
#include <optional>
#include <ranges>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <nlohmann/json.hpp>

#include "mornik/base/Describe.hpp"
#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/text/Date.hpp"
#include "mornik/text/JsonFwd.hpp"
#include "mornik/text/URL.hpp"

MORNIK_EXPORTS_BEGIN

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
// includes numbers, text, bool, standard containers and the library's Date
// and URL (serializers below: include this header wherever a to_json /
// from_json of yours uses them).
//
// Optionals: the functions below encode a std::optional as its value or
// null and decode null (and a missing key, in decode()) as nothing, at the
// top level, as list elements and dictionary values, and as decode()'s
// value. The library does not specialise the JSON library's serializer for
// std::optional (a serializer of a standard type belongs to the program: a
// library's would clash with the program's own, or come after the
// program's first use of one), so inside your own to_json / from_json write
// an optional field through decode() and its value, and the
// NLOHMANN_DEFINE_TYPE_* macros take optional fields only when your program
// has such a serializer of its own:
//   if (w.icon) json["icon"] = *w.icon;
//   w.icon = mornik::decode(json, "icon", std::optional<std::string>());
//
// Dates: by default a Date is the number of seconds since 2001-01-01
// 00:00:00 UTC (a JSON number); asJsonISO8601 writes every Date as ISO 8601
// text in UTC with milliseconds instead, and fails to encode a date outside
// the years 0000 to 9999 (or not finite), which that text cannot express.
// Decoding accepts either form. URLs are their absolute text.
//
// Numbers decode only into a type that holds them exactly: a JSON number
// decodes into an integer type only when it is a whole number within the
// type's range (1.5, 300 into uint8_t, -1 into unsigned, 1e300 into int all
// fail with out_of_range 406), into float only within float's range, and
// never from a boolean or text (type_error 302); bool decodes only from true
// and false. This holds wherever the JSON library converts a number (top
// level, struct fields of the NLOHMANN_DEFINE_TYPE_* macros, container
// elements, get<T>()), through the adl_serializer specialisation for
// arithmetic types below: include this header, not <nlohmann/json.hpp>
// alone, and before any code that uses the JSON library (the compiler
// refuses a specialisation that comes after a use). Enumerations converted by the JSON library
// itself (without NLOHMANN_JSON_SERIALIZE_ENUM) are not checked.
//
// Nesting: the library reads and writes at most kJsonMaxDepth levels of
// nested arrays and objects. Deeper text or archives fail to decode, and a
// deeper value fails to encode, so that no recursive step of the JSON
// library (copying, writing, converting) ever runs out of stack. A Json
// nested deeper than that inside a value of yours (a struct field) is copied
// by your to_json before the library can look at it: keep such values out.
//
// Output: UTF-8 without a byte order mark. Object keys always come out in
// ascending byte order (nlohmann::json keeps objects sorted), so sortedKeys is
// always in effect. Pretty printing indents by two spaces. Slashes in text
// are written as "\/" unless withoutEscapingSlashes is given. Text holding
// invalid UTF-8 does not encode (type_error 316 below).
//
// Errors: encoder and decoder failures have domain "JSON" (kJSONErrorDomain),
// the JSON library's error id as code (101 syntax error, 302 wrong type,
// 316 invalid UTF-8, 403 missing key, 406 a number that does not fit, ...)
// and its message as description:
//   "[json.exception.type_error.302] type must be string, but is number"
//   "[json.exception.out_of_range.406] number 300 does not fit in an 8-bit
//    unsigned integer"
// The library's own failures are WTF errors (code 0):
//   "can't convert Data to string"           bytes that are not UTF-8
//   "can't convert string to data: <text>"   text that is not UTF-8 (decodeFromJson;
//                                            invalid bytes of <text> shown as U+FFFD)
//   "can't decode JSON nested deeper than 512 levels"     text or archive
//   "can't encode JSON nested deeper than 512 levels"
//   "can't encode the number <nan|inf|-inf> in JSON"      not finite
//   "can't encode the date <seconds since 2001> as ISO 8601: it is outside
//    the years 0000 to 9999"                              asJsonISO8601
//
// Thread safety: every function may be called from any thread.

namespace mornik::detail {
// The failures of the checked number conversions below.
[[noreturn]] void throwNotA(const char* expected, const char* actual);
[[noreturn]] void throwNumberDoesNotFit(const std::string& number, int bits, bool isSigned,
                                        bool isFloating);

// Whether an integer of the JSON model fits in the integer type T.
template <class T>
constexpr bool fitsIn(std::int64_t value) {
  if (value < 0) {
    return std::is_signed_v<T> && value >= static_cast<std::int64_t>(std::numeric_limits<T>::min());
  }
  return static_cast<std::uint64_t>(value) <=
         static_cast<std::uint64_t>(std::numeric_limits<T>::max());
}
template <class T>
constexpr bool fitsIn(std::uint64_t value) {
  return value <= static_cast<std::uint64_t>(std::numeric_limits<T>::max());
}

// The value of a JSON number as T, exactly, or the decoding failure.
template <class T, class J>
T checkedNumber(const J& json) {
  if constexpr (std::is_same_v<T, bool>) {
    if (!json.is_boolean()) throwNotA("boolean", json.type_name());
    return *json.template get_ptr<const typename J::boolean_t*>();
  } else {
    if (!json.is_number()) throwNotA("number", json.type_name());
    using Limits = std::numeric_limits<T>;
    // Unsigned first: the JSON library also answers an unsigned number when
    // asked for its signed integer (the same bits, reinterpreted).
    if (const auto* u = json.template get_ptr<const typename J::number_unsigned_t*>()) {
      if (std::is_floating_point_v<T> || fitsIn<T>(static_cast<std::uint64_t>(*u))) {
        return static_cast<T>(*u);
      }
    } else if (const auto* i = json.template get_ptr<const typename J::number_integer_t*>()) {
      if (std::is_floating_point_v<T> || fitsIn<T>(static_cast<std::int64_t>(*i))) {
        return static_cast<T>(*i);
      }
    } else {
      const auto d =
          static_cast<double>(*json.template get_ptr<const typename J::number_float_t*>());
      if constexpr (std::is_floating_point_v<T>) {
        // Out of the type's range the conversion is undefined, not infinity.
        if (sizeof(T) >= sizeof(double) || !(d > Limits::max() || d < Limits::lowest())) {
          return static_cast<T>(d);
        }
      } else {
        // Whole numbers in [min, 2^digits); NaN fails every comparison.
        const double end = static_cast<double>(Limits::max() / 2 + 1) * 2.0;
        if (d >= static_cast<double>(Limits::min()) && d < end && std::trunc(d) == d) {
          return static_cast<T>(d);
        }
      }
    }
    throwNumberDoesNotFit(json.dump(), static_cast<int>(sizeof(T) * 8), std::is_signed_v<T>,
                          std::is_floating_point_v<T>);
  }
}

}  // namespace mornik::detail

// Numbers and booleans convert through mornik::detail::checkedNumber
// (see "Numbers" above); encoding is the JSON library's own.
template <class T>
  requires std::is_arithmetic_v<T>
struct nlohmann::adl_serializer<T, void> {
  template <class J>
  static void to_json(J& json, T value) noexcept {  // NOLINT(readability-identifier-naming)
    ::nlohmann::to_json(json, value);
  }
  template <class J>
  static void from_json(const J& json, T& value) {  // NOLINT(readability-identifier-naming)
    value = mornik::detail::checkedNumber<T>(json);
  }
};

namespace mornik {

// Bytes, as in StringUtils.hpp.
using Data = std::vector<std::uint8_t>;

inline constexpr std::string_view kJSONErrorDomain = "JSON";

// The deepest nesting of arrays and objects the library reads or writes.
inline constexpr std::size_t kJsonMaxDepth = 512;

namespace detail {
template <class T>
consteval bool encodable() {
  if constexpr (kIsOptional<T>) {
    return encodable<typename T::value_type>();
  } else {
    return std::is_constructible_v<Json, const T&>;
  }
}
template <class T>
consteval bool decodable() {
  if constexpr (kIsOptional<T>) {
    return decodable<typename T::value_type>();
  } else {
    return requires(const Json& json) { json.template get<T>(); };
  }
}
}  // namespace detail

// Types that encode to / decode from JSON (and optionals of them). A type
// without a default value decodes through its own nlohmann::adl_serializer
// (static from_json).
template <class T>
concept Encodable = detail::encodable<T>();
template <class T>
concept Decodable = detail::decodable<T>();

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
  // Nothing for a date that does not round to the years 0000 to 9999 (the
  // form has four year digits) or is not finite: date() could not read it back.
  std::optional<std::string> string(Date date) const;
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
// JSON text of an encoded value with the given formatting; throws the
// encoding failure for a value checkEncodable refuses.
std::string dumpJson(const Json& json, OutputFormatting formatting);
// Throws the encoding failure when the value nests deeper than kJsonMaxDepth
// or holds a number that is not finite. Never recursive.
void checkEncodable(const Json& json);
// The JSON model of an encodable value; a Json is checked before it is copied.
// An optional is its value or null (whatever serializer the program has).
template <class T>
Json toJsonModel(const T& value) {
  if constexpr (kIsOptional<T>) {
    return value ? toJsonModel(*value) : Json(nullptr);
  } else {
    if constexpr (std::is_same_v<T, Json>) checkEncodable(value);
    return Json(value);
  }
}
// A decodable value of a JSON model; an optional is nothing for null.
template <class T>
T fromJsonModel(const Json& json) {
  if constexpr (kIsOptional<T>) {
    if (json.is_null()) return T();
    return T(fromJsonModel<typename T::value_type>(json));
  } else {
    return json.template get<T>();
  }
}
// The JSON model of JSON text or of a CBOR archive, at most kJsonMaxDepth
// deep, with every number finite; throws the decoding failure.
Json parseJson(std::string_view text);
Json parseCbor(std::span<const std::uint8_t> archive);
// The CBOR archive of a value checkEncodable accepts (else it throws).
Data toCbor(const Json& json);
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
    if constexpr (std::is_same_v<T, Json>) {
      return detail::dumpJson(value, formatting);
    } else {
      return detail::dumpJson(detail::toJsonModel(value), formatting);
    }
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
    for (const auto& element : list) array.push_back(detail::toJsonModel(element));
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
        object[std::to_string(key)] = detail::toJsonModel(value);
      } else {
        object[std::string(std::string_view(key))] = detail::toJsonModel(value);
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
    if constexpr (std::is_same_v<T, Json>) {
      return detail::parseJson(text);
    } else {
      return detail::fromJsonModel<T>(detail::parseJson(text));
    }
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
  return detail::fromJsonModel<T>(*found);
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
    if constexpr (std::is_same_v<T, Json>) {
      return detail::toCbor(rootObject);
    } else {
      return detail::toCbor(detail::toJsonModel(rootObject));
    }
  } catch (...) {
    return detail::currentJsonError();
  }
}

// Reads a value of type T from an archive made by archived().
template <Decodable T>
Result<T> unarchivedObject(const Data& archive) {
  try {
    if constexpr (std::is_same_v<T, Json>) {
      return detail::parseCbor(archive);
    } else {
      return detail::fromJsonModel<T>(detail::parseCbor(archive));
    }
  } catch (...) {
    return detail::currentJsonError();
  }
}

}  // namespace mornik

MORNIK_EXPORTS_END
