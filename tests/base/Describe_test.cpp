#include "mornik/base/Describe.hpp"

#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/base/TypeName.hpp"

namespace mornik {
namespace {

struct Opaque {};
namespace inner {
struct Widget {};
}  // namespace inner

TEST(TypeName, LibraryNamesForCommonTypesElseTheUnqualifiedName) {
  EXPECT_EQ(typeName<std::int64_t>(), "Int");
  EXPECT_EQ(typeName<bool>(), "Bool");
  EXPECT_EQ(typeName<std::vector<std::uint8_t>>(), "Data");
  EXPECT_EQ(typeName<std::vector<std::string>>(), "Array<String>");
  EXPECT_EQ((typeName<std::map<std::string, int>>()), "Dictionary<String, Int>");
  EXPECT_EQ(typeName<std::optional<double>>(), "Optional<Double>");
  // Other types: their unqualified name.
  EXPECT_EQ(typeName<inner::Widget>(), "Widget");
  EXPECT_EQ(typeName<std::vector<inner::Widget>>(), "Array<Widget>");
}

TEST(Describe, PrintedForms) {
  EXPECT_EQ(describe(std::string("plain")), "plain");
  EXPECT_EQ(describe(42), "42");
  EXPECT_EQ(describe(true), "true");
  EXPECT_EQ(describe(1.0), "1.0");
  EXPECT_EQ(describe(0.1), "0.1");
  EXPECT_EQ(describe(1e16), "1e+16");
  EXPECT_EQ(describe(std::optional<int>(3)), "Optional(3)");
  EXPECT_EQ(describe(std::optional<int>()), "nil");
  EXPECT_EQ(describe(std::vector<std::string>{"a", "b\"c"}), "[\"a\", \"b\\\"c\"]");
  EXPECT_EQ(describe(std::map<std::string, int>{{"k", 1}}), "[\"k\": 1]");
  EXPECT_EQ(describe(std::map<std::string, int>{}), "[:]");
  EXPECT_EQ(describe(std::make_tuple(1, std::string("x"))), "(1, \"x\")");
  EXPECT_EQ(describe(Opaque{}), "<Opaque>");
}

}  // namespace
}  // namespace mornik
