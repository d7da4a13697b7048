#include "mornik/text/Json.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace mornik {
namespace {

struct Window {
  int width = 0;
  std::string title;
  std::optional<std::string> icon;
  Date opened;
  friend bool operator==(const Window&, const Window&) = default;
};

void to_json(Json& json, const Window& w) {  // NOLINT(readability-identifier-naming)
  json = Json{{"width", w.width}, {"title", w.title}, {"opened", w.opened}};
  if (w.icon) json["icon"] = *w.icon;
}

void from_json(const Json& json, Window& w) {  // NOLINT(readability-identifier-naming)
  w.width = json.at("width").get<int>();
  w.title = json.at("title").get<std::string>();
  w.icon = decode<std::optional<std::string>>(json, "icon", std::nullopt);
  w.opened = decode(json, "opened", Date());
}

struct Counter {
  int count = 0;
  std::string label;
};

void from_json(const Json& json, Counter& c) {  // NOLINT(readability-identifier-naming)
  c.count = decode(json, "count", 7);
  c.label = decode<std::string>(json, "label", "none");
}

void expectJsonError(const std::optional<Error>& error, std::int64_t id,
                     const std::string& description) {
  ASSERT_TRUE(error.has_value()) << description;
  EXPECT_EQ(error->domain(), "JSON");
  EXPECT_EQ(error->code(), id);
  EXPECT_EQ(error->localizedDescription(), description);
}

template <class T>
std::optional<Error> failureOf(std::string_view text) {
  return decodeFromJson<T>(text).maybeFailure();
}

TEST(Json, StructsRoundTripWithSortedKeysAndFormatting) {
  const Window window{640, "Notes/Draft", "pen.png", Date(10.25)};
  const auto compact = asJson(window).value();
  EXPECT_EQ(compact, R"({"icon":"pen.png","opened":10.25,"title":"Notes\/Draft","width":640})");
  EXPECT_EQ(decodeFromJson<Window>(compact).value(), window);
  const auto pretty =
      asJson(window, OutputFormatting::prettyPrinted | OutputFormatting::sortedKeys |
                         OutputFormatting::withoutEscapingSlashes)
          .value();
  EXPECT_EQ(pretty,
            "{\n  \"icon\": \"pen.png\",\n  \"opened\": 10.25,\n  \"title\": \"Notes/Draft\",\n"
            "  \"width\": 640\n}");
  EXPECT_EQ(decodeFromJson<Window>(pretty).value(), window);
  EXPECT_EQ(asJsonData(window).value(), Data(compact.begin(), compact.end()));
}

TEST(Json, ISO8601DatesInUtcWithMilliseconds) {
  EXPECT_EQ(asJsonISO8601(Date::fromUnixTimestamp(0.5)).value(), R"("1970-01-01T00:00:00.500Z")");
  const Window window{1, "t", std::nullopt, Date::fromUnixTimestamp(1706704496.789)};
  const auto iso = asJsonISO8601(window).value();
  EXPECT_EQ(iso, R"({"opened":"2024-01-31T12:34:56.789Z","title":"t","width":1})");
  // Only that encoding is affected; the decoder reads either form.
  EXPECT_EQ(asJson(Date::fromUnixTimestamp(0.5)).value(), "-978307199.5");
  EXPECT_EQ(decodeFromJson<Window>(iso).value().opened.unixTimestamp(), 1706704496.789);

  const auto& formatter = JavaScriptISO8601DateFormatter();
  EXPECT_EQ(formatter.string(Date::fromUnixTimestamp(-0.25)), "1969-12-31T23:59:59.750Z");
  EXPECT_EQ(formatter.string(Date::fromUnixTimestamp(59.9996)), "1970-01-01T00:01:00.000Z");
  EXPECT_EQ(formatter.date("2001-01-01T01:00:00.5+01:00"), Date(0.5));
  EXPECT_EQ(formatter.date("2001-01-01T00:00:00Z"), Date(0));
  for (const char* bad : {"2001-02-30T00:00:00.000Z", "2001-01-01 00:00:00.000Z",
                          "2001-01-01T00:00:00.000", "2001-01-01T00:00:00.Z"}) {
    EXPECT_EQ(formatter.date(bad), std::nullopt) << bad;
  }
}

TEST(Json, ListsAndDictionaries) {
  EXPECT_EQ(asJSONString(std::vector<int>{1, 2, 3}).value(), "[1,2,3]");
  EXPECT_EQ(asJSONStrR(std::map<std::string, int>{{"b", 2}, {"a", 1}}).value(), R"({"a":1,"b":2})");
  EXPECT_EQ(asJSONStr(std::map<int, bool>{{10, true}, {2, false}}), R"({"10":true,"2":false})");
  // Text that is not UTF-8 cannot be encoded.
  EXPECT_EQ(asJSONStr(std::map<std::string, std::string>{{"k", "\xFF"}}), std::nullopt);
  expectJsonError(asJSONStrR(std::map<std::string, std::string>{{"k", "\xFF"}}).maybeFailure(), 316,
                  "[json.exception.type_error.316] invalid UTF-8 byte at index 0: 0xFF");
  EXPECT_EQ(asJSONArray(R"(["a","b"])").value(), (std::vector<std::string>{"a", "b"}));
}

TEST(Json, DecodingFailuresAreClear) {
  const std::string typeMust = "[json.exception.type_error.302] type must be ";
  expectJsonError(asJSONArray(R"(["a", 1])").maybeFailure(), 302,
                  typeMust + "string, but is number");
  expectJsonError(failureOf<Window>("[1]"), 304,
                  "[json.exception.type_error.304] cannot use at() with array");
  expectJsonError(failureOf<Window>(R"({"width":1})"), 403,
                  "[json.exception.out_of_range.403] key 'title' not found");
  expectJsonError(failureOf<Date>("true"), 302,
                  typeMust + "number or ISO 8601 string, but is boolean");
  expectJsonError(failureOf<Date>(R"("yesterday")"), 302,
                  "[json.exception.type_error.302] not an ISO 8601 date: yesterday");
  // decode(): the default for a missing key or null, the decoder's error otherwise.
  const auto missing = decodeFromJson<Counter>("{}").value();
  const auto nulls = decodeFromJson<Counter>(R"({"count":null,"label":null})").value();
  for (const auto& c : {missing, nulls}) {
    EXPECT_EQ(c.count, 7);
    EXPECT_EQ(c.label, "none");
  }
  EXPECT_EQ(decodeFromJson<Counter>(R"({"count":3,"label":"x"})").value().count, 3);
  expectJsonError(failureOf<Counter>(R"({"count":"3"})"), 302, typeMust + "number, but is string");
  expectJsonError(failureOf<Counter>("[]"), 302, typeMust + "object, but is array");

  const auto syntax = failureOf<int>("{");
  EXPECT_EQ(syntax->code(), 101);
  EXPECT_EQ(syntax->localizedDescription().rfind("[json.exception.parse_error.101]", 0), 0U);
  // Text that is not UTF-8 fails before parsing, showing U+FFFD for the bad byte.
  const auto invalid = failureOf<std::string>("\"a\xC3\"");
  EXPECT_EQ(invalid, WTF("can't convert string to data: \"a\xEF\xBF\xBD\"", 0));
}

TEST(Json, UntypedObjectsFragmentsAndCborArchives) {
  EXPECT_EQ(jsonObject(std::string_view(R"({"a":[1,2]})")).value()["a"][1], 2);
  expectJsonError(jsonObject(std::string_view("42")).maybeFailure(), 101,
                  "the JSON text is number, not an array or object, and fragments are not allowed");
  EXPECT_EQ(jsonObject(Data{'4', '2'}, ReadingOptions::fragmentsAllowed).value(), 42);

  const std::map<std::string, int> root{{"a", 1}};
  const auto archive = archived(root, true).value();
  EXPECT_EQ(archive, (Data{0xA1, 0x61, 'a', 0x01}));  // a one-entry map, "a", 1
  EXPECT_EQ((unarchivedObject<std::map<std::string, int>>(archive).value()), root);
  const Window window{3, "w", std::nullopt, Date(1.5)};
  EXPECT_EQ(unarchivedObject<Window>(archived(window).value()).value(), window);
  const auto corrupt = unarchivedObject<Window>(Data{0xA1, 0x61}).error();
  EXPECT_EQ(corrupt.domain(), "JSON");
  EXPECT_EQ(corrupt.code(), 110);  // unexpected end of input
}

struct Fields {
  std::int32_t count = 0;
  std::vector<std::uint8_t> bytes;
  std::map<std::string, unsigned> sizes;
};
// Only decoded here, so only the decoding half.
void from_json(const nlohmann::json& json, Fields& fields) {
  json.at("count").get_to(fields.count);
  json.at("bytes").get_to(fields.bytes);
  json.at("sizes").get_to(fields.sizes);
}

TEST(Json, NumbersDecodeOnlyIntoTypesThatHoldThemExactly) {
  const std::string fit = "[json.exception.out_of_range.406] number ";
  const std::string typeMust = "[json.exception.type_error.302] type must be ";
  const struct {
    std::optional<Error> (*decode)(std::string_view);
    std::string_view text;
    std::int64_t code;
    std::string description;
  } cases[] = {
      {failureOf<int>, "1.5", 406, fit + "1.5 does not fit in a 32-bit integer"},
      {failureOf<int>, "true", 302, typeMust + "number, but is boolean"},
      {failureOf<std::uint8_t>, "300", 406, fit + "300 does not fit in an 8-bit unsigned integer"},
      {failureOf<unsigned>, "-1", 406, fit + "-1 does not fit in a 32-bit unsigned integer"},
      {failureOf<std::int32_t>, "4294967296", 406,
       fit + "4294967296 does not fit in a 32-bit integer"},
      {failureOf<std::int64_t>, "9223372036854775808", 406,
       fit + "9223372036854775808 does not fit in a 64-bit integer"},
      {failureOf<float>, "1e300", 406,
       fit + "1e+300 does not fit in a 32-bit floating-point number"},
      {failureOf<double>, "1e400", 406,
       "[json.exception.out_of_range.406] number overflow parsing '1e400'"},
      {failureOf<bool>, "1", 302, typeMust + "boolean, but is number"},
      {failureOf<Fields>, R"({"count":1e300,"bytes":[],"sizes":{}})", 406,
       fit + "1e+300 does not fit in a 32-bit integer"},
      {failureOf<Fields>, R"({"count":1,"bytes":[1,256],"sizes":{}})", 406,
       fit + "256 does not fit in an 8-bit unsigned integer"},
      {failureOf<Fields>, R"({"count":1,"bytes":[],"sizes":{"a":-1}})", 406,
       fit + "-1 does not fit in a 32-bit unsigned integer"},
  };
  for (const auto& c : cases) expectJsonError(c.decode(c.text), c.code, c.description);
  // Whole numbers at the edges of each range decode exactly.
  EXPECT_EQ(decodeFromJson<int>("2.0").value(), 2);
  EXPECT_EQ(decodeFromJson<std::int64_t>("-9223372036854775808").value(), INT64_MIN);
  EXPECT_EQ(decodeFromJson<std::uint64_t>("18446744073709551615").value(), UINT64_MAX);
  EXPECT_EQ(decodeFromJson<std::uint8_t>("255").value(), 255);
}

// n arrays, each holding the next: "[[[...]]]".
std::string nestedArrays(std::size_t n) { return std::string(n, '[') + std::string(n, ']'); }

// The same as a value, built without recursion (no copies).
Json nestedValue(std::size_t n) {
  Json value = Json::array();
  for (std::size_t i = 1; i < n; ++i) {
    Json outer = Json::array();
    outer.push_back(std::move(value));
    value = std::move(outer);
  }
  return value;
}

TEST(Json, NestingDeeperThanTheLimitFailsToDecodeAndToEncode) {
  const std::string decodeError = "can't decode JSON nested deeper than 512 levels";
  const std::string encodeError = "can't encode JSON nested deeper than 512 levels";
  std::vector<Json> list;
  list.push_back(nestedValue(100'000));
  const Json& deep = list.front();
  const struct {
    const char* what;
    std::optional<Error> error;
    const std::string& description;
  } cases[] = {
      {"decodeFromJson", failureOf<Json>(nestedArrays(100'000)), decodeError},
      {"decodeFromJson 513", failureOf<std::vector<Json>>(nestedArrays(513)), decodeError},
      {"jsonObject", jsonObject(std::string_view(nestedArrays(100'000))).maybeFailure(),
       decodeError},
      {"unarchivedObject", unarchivedObject<Json>(Data(5'000, 0x81)).maybeFailure(), decodeError},
      {"asJson", asJson(deep).maybeFailure(), encodeError},
      {"asJson 513", asJson(nestedValue(513)).maybeFailure(), encodeError},
      {"asJSONString", asJSONString(list).maybeFailure(), encodeError},
      {"archived", archived(deep).maybeFailure(), encodeError},
  };
  for (const auto& c : cases) EXPECT_EQ(c.error, WTF(c.description, 0)) << c.what;
  // The limit itself round-trips.
  const std::string limit = nestedArrays(kJsonMaxDepth);
  EXPECT_EQ(asJson(decodeFromJson<Json>(limit).value()).value(), limit);
  EXPECT_EQ(unarchivedObject<Json>(archived(nestedValue(kJsonMaxDepth)).value()).value(),
            nestedValue(kJsonMaxDepth));
}

TEST(Json, ValuesTheTextCannotHoldFailToEncode) {
  const double inf = std::numeric_limits<double>::infinity();
  const auto outside = [](const std::string& seconds) {
    return "can't encode the date " + seconds +
           " as ISO 8601: it is outside the years 0000 to 9999";
  };
  const struct {
    Result<std::string> encoded;
    std::string description;
  } cases[] = {
      {asJsonISO8601(Date(1e300)), outside("1e+300")},
      {asJsonISO8601(Date(inf)), outside("inf")},
      {asJsonISO8601(Date(-inf)), outside("-inf")},
      {asJsonISO8601(Date(std::nan(""))), outside("nan")},
      {asJsonISO8601(Date::fromUnixTimestamp(253402300800.0)), outside("252423993600.0")},
      {asJsonISO8601(Date::fromUnixTimestamp(-62167219200.001)), outside("-63145526400.001")},
      {asJson(Date(std::nan(""))), "can't encode the number nan in JSON"},
      {asJson(std::vector<double>{-inf}), "can't encode the number -inf in JSON"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.encoded.maybeFailure(), WTF(c.description, 0));
  // The first and the last millisecond that the form can write read back.
  for (const double unix : {-62167219200.0, 253402300799.999}) {
    const auto text = asJsonISO8601(Date::fromUnixTimestamp(unix)).value();
    EXPECT_NEAR(decodeFromJson<Date>(text).value().unixTimestamp(), unix, 1e-6) << text;
  }
}

}  // namespace
}  // namespace mornik
