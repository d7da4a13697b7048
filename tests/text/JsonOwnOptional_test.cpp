// A program with its own serializer for std::optional, declared and used
// before it includes any of the library's headers: both compile together,
// the program's conversions keep its form, the library's functions keep
// theirs (value or null).
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

template <class T>
struct nlohmann::adl_serializer<std::optional<T>> {
  static void to_json(json& out, const std::optional<T>& value) {  // NOLINT
    out = value ? json{{"some", *value}} : json::object();
  }
  static void from_json(const json& in, std::optional<T>& value) {  // NOLINT
    value = in.contains("some") ? std::optional<T>(in.at("some").get<T>()) : std::nullopt;
  }
};

namespace {
const nlohmann::json kEarly = std::optional<std::string>("early");
}  // namespace

#include <map>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/text/Json.hpp"

namespace mornik {
namespace {

TEST(JsonOwnOptional, TheProgramsSerializerAndTheLibrarysFunctionsKeepTheirForms) {
  EXPECT_EQ(kEarly.dump(), R"({"some":"early"})");
  EXPECT_EQ(Json(std::optional<int>()).dump(), "{}");
  using Text = std::optional<std::string>;
  EXPECT_EQ(asJson(Text("a")).value(), "\"a\"");
  EXPECT_EQ(asJson(Text()).value(), "null");
  EXPECT_EQ(asJSONString(std::vector<std::optional<int>>{1, std::nullopt}).value(), "[1,null]");
  EXPECT_EQ(asJSONStrR(std::map<std::string, Text>{{"k", std::nullopt}}).value(), R"({"k":null})");
  EXPECT_EQ(decodeFromJson<Text>("null").value(), std::nullopt);
  EXPECT_EQ(decodeFromJson<Text>("\"b\"").value(), "b");
  EXPECT_EQ(unarchivedObject<Text>(archived(Text("c")).value()).value(), "c");
  EXPECT_EQ(unarchivedObject<Text>(archived(Text()).value()).value(), std::nullopt);
  const Json object = Json::parse(R"({"n": 3, "none": null})");
  EXPECT_EQ(decode(object, "n", std::optional<int>()), 3);
  EXPECT_EQ(decode(object, "none", std::optional<int>(1)), 1);
  EXPECT_EQ(object.at("n").get<std::optional<int>>(), std::nullopt);  // the program's own
}

}  // namespace
}  // namespace mornik
