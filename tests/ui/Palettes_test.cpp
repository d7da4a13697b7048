#include "mornik/ui/Palettes.hpp"

#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <span>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace mornik {
namespace {

std::string lowered(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

TEST(Palettes, HaveTheirSizesUniqueNamesAndOnlyOpaqueEntries) {
  const struct {
    const char* name;
    std::span<const PaletteEntry> entries;
    std::size_t size;
  } palettes[] = {{"Material", Material::all, 275},
                  {"CSS", CSS::all, 148},
                  {"FlatUI", FlatUI::all, 20},
                  {"Social", Social::all, 27}};
  for (const auto& p : palettes) {
    EXPECT_EQ(p.entries.size(), p.size) << p.name;
    std::set<std::string_view> names;
    for (const auto& e : p.entries) {
      EXPECT_TRUE(names.insert(e.name).second) << p.name << " " << e.name;
      EXPECT_EQ(e.color.alpha(), 1) << p.name << " " << e.name;
    }
  }
}

TEST(Palettes, NamedEntriesHaveTheirPublishedValues) {
  const struct {
    Color color;
    const char* hex;
  } cases[] = {{Material::red, "#F44336"},      {Material::red50, "#FFEBEE"},
               {Material::redA700, "#D50000"},  {Material::brown, "#795548"},
               {Material::red500, "#F44336"},   {Material::blueGrey900, "#263238"},
               {Material::black, "#000000"},    {Material::white, "#FFFFFF"},
               {CSS::aliceBlue, "#F0F8FF"},     {CSS::blanchedAlmond, "#FFEBCD"},
               {CSS::rebeccaPurple, "#663399"}, {FlatUI::pumkin, "#D35400"},
               {FlatUI::concerte, "#95A5A6"},   {Social::devianArt, "#4A5D4E"},
               {Social::soundCloud, "#430297"}, {Social::yahoo, "#430297"}};
  for (const auto& c : cases) EXPECT_EQ(c.color.hexString(), c.hex);
  EXPECT_EQ(Material::all[5].name, "red500");
  EXPECT_EQ(Material::all[5].color, Material::red);
}

// The CSS colours against the node-color-name package's table, whose lines
// read `"aliceblue": [240, 248, 255],`.
TEST(Palettes, CSSMatchesTheOutsideTable) {
  std::ifstream file(MORNIK_CSS_COLOR_TABLE);
  ASSERT_TRUE(file) << MORNIK_CSS_COLOR_TABLE << " (package node-color-name)";
  const std::string source((std::istreambuf_iterator<char>(file)), {});
  const std::regex entry(R"re("(\w+)":\s*\[(\d+),\s*(\d+),\s*(\d+)\])re");
  std::map<std::string, std::uint32_t> outside;
  for (std::sregex_iterator it(source.begin(), source.end(), entry), end; it != end; ++it) {
    outside[(*it)[1]] =
        (std::stoul((*it)[2]) << 16) | (std::stoul((*it)[3]) << 8) | std::stoul((*it)[4]);
  }
  ASSERT_EQ(outside.size(), 148U);
  for (const auto& e : CSS::all) {
    const auto found = outside.find(lowered(e.name));
    ASSERT_NE(found, outside.end()) << e.name;
    EXPECT_EQ(e.color.uInt(), found->second) << e.name;
    outside.erase(found);
  }
  EXPECT_TRUE(outside.empty());
}

}  // namespace
}  // namespace mornik
