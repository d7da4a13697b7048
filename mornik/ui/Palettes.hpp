#pragma once

#include <array>
#include <string_view>

#include "mornik/base/Export.hpp"
#include "mornik/ui/Color.hpp"

MORNIK_EXPORTS_BEGIN

// Four named palettes, each a table below (one row per colour, or per hue
// for Material) from which the named constants and the list of entries are
// made:
//
//   mornik::Material::redA700.hexString();   // "#D50000"
//   mornik::CSS::blanchedAlmond;             // #FFEBCD
//   for (const auto& [name, colour] : mornik::FlatUI::all) ...;
//
// Every entry is opaque, a compile-time constant and one object for the
// whole program (an inline variable): made once, read-only, shareable by any
// thread.

namespace mornik {

// One named colour of a palette.
struct PaletteEntry {
  std::string_view name;
  Color color;
};

// clang-format off

// Material Design: each hue's shades 50, 100, 200 ... 900, then (for the
// first sixteen) its accents A100, A200, A400, A700. Names: red50 ...
// red900, redA100 ... redA700, and the bare hue name for shade 500.
#define MORNIK_MATERIAL_ACCENTED_HUES(X) \
  X(red, 0xFFEBEE, 0xFFCDD2, 0xEF9A9A, 0xE57373, 0xEF5350, 0xF44336, 0xE53935, 0xD32F2F, 0xC62828, 0xB71C1C, 0xFF8A80, 0xFF5252, 0xFF1744, 0xD50000) \
  X(pink, 0xFCE4EC, 0xF8BBD0, 0xF48FB1, 0xF06292, 0xEC407A, 0xE91E63, 0xD81B60, 0xC2185B, 0xAD1457, 0x880E4F, 0xFF80AB, 0xFF4081, 0xF50057, 0xC51162) \
  X(purple, 0xF3E5F5, 0xE1BEE7, 0xCE93D8, 0xBA68C8, 0xAB47BC, 0x9C27B0, 0x8E24AA, 0x7B1FA2, 0x6A1B9A, 0x4A148C, 0xEA80FC, 0xE040FB, 0xD500F9, 0xAA00FF) \
  X(deepPurple, 0xEDE7F6, 0xD1C4E9, 0xB39DDB, 0x9575CD, 0x7E57C2, 0x673AB7, 0x5E35B1, 0x512DA8, 0x4527A0, 0x311B92, 0xB388FF, 0x7C4DFF, 0x651FFF, 0x6200EA) \
  X(indigo, 0xE8EAF6, 0xC5CAE9, 0x9FA8DA, 0x7986CB, 0x5C6BC0, 0x3F51B5, 0x3949AB, 0x303F9F, 0x283593, 0x1A237E, 0x8C9EFF, 0x536DFE, 0x3D5AFE, 0x304FFE) \
  X(blue, 0xE3F2FD, 0xBBDEFB, 0x90CAF9, 0x64B5F6, 0x42A5F5, 0x2196F3, 0x1E88E5, 0x1976D2, 0x1565C0, 0x0D47A1, 0x82B1FF, 0x448AFF, 0x2979FF, 0x2962FF) \
  X(lightBlue, 0xE1F5FE, 0xB3E5FC, 0x81D4FA, 0x4FC3F7, 0x29B6F6, 0x03A9F4, 0x039BE5, 0x0288D1, 0x0277BD, 0x01579B, 0x80D8FF, 0x40C4FF, 0x00B0FF, 0x0091EA) \
  X(cyan, 0xE0F7FA, 0xB2EBF2, 0x80DEEA, 0x4DD0E1, 0x26C6DA, 0x00BCD4, 0x00ACC1, 0x0097A7, 0x00838F, 0x006064, 0x84FFFF, 0x18FFFF, 0x00E5FF, 0x00B8D4) \
  X(teal, 0xE0F2F1, 0xB2DFDB, 0x80CBC4, 0x4DB6AC, 0x26A69A, 0x009688, 0x00897B, 0x00796B, 0x00695C, 0x004D40, 0xA7FFEB, 0x64FFDA, 0x1DE9B6, 0x00BFA5) \
  X(green, 0xE8F5E9, 0xC8E6C9, 0xA5D6A7, 0x81C784, 0x66BB6A, 0x4CAF50, 0x43A047, 0x388E3C, 0x2E7D32, 0x1B5E20, 0xB9F6CA, 0x69F0AE, 0x00E676, 0x00C853) \
  X(lightGreen, 0xF1F8E9, 0xDCEDC8, 0xC5E1A5, 0xAED581, 0x9CCC65, 0x8BC34A, 0x7CB342, 0x689F38, 0x558B2F, 0x33691E, 0xCCFF90, 0xB2FF59, 0x76FF03, 0x64DD17) \
  X(lime, 0xF9FBE7, 0xF0F4C3, 0xE6EE9C, 0xDCE775, 0xD4E157, 0xCDDC39, 0xC0CA33, 0xAFB42B, 0x9E9D24, 0x827717, 0xF4FF81, 0xEEFF41, 0xC6FF00, 0xAEEA00) \
  X(yellow, 0xFFFDE7, 0xFFF9C4, 0xFFF59D, 0xFFF176, 0xFFEE58, 0xFFEB3B, 0xFDD835, 0xFBC02D, 0xF9A825, 0xF57F17, 0xFFFF8D, 0xFFFF00, 0xFFEA00, 0xFFD600) \
  X(amber, 0xFFF8E1, 0xFFECB3, 0xFFE082, 0xFFD54F, 0xFFCA28, 0xFFC107, 0xFFB300, 0xFFA000, 0xFF8F00, 0xFF6F00, 0xFFE57F, 0xFFD740, 0xFFC400, 0xFFAB00) \
  X(orange, 0xFFF3E0, 0xFFE0B2, 0xFFCC80, 0xFFB74D, 0xFFA726, 0xFF9800, 0xFB8C00, 0xF57C00, 0xEF6C00, 0xE65100, 0xFFD180, 0xFFAB40, 0xFF9100, 0xFF6D00) \
  X(deepOrange, 0xFBE9E7, 0xFFCCBC, 0xFFAB91, 0xFF8A65, 0xFF7043, 0xFF5722, 0xF4511E, 0xE64A19, 0xD84315, 0xBF360C, 0xFF9E80, 0xFF6E40, 0xFF3D00, 0xDD2C00)

#define MORNIK_MATERIAL_PLAIN_HUES(X) \
  X(brown, 0xEFEBE9, 0xD7CCC8, 0xBCAAA4, 0xA1887F, 0x8D6E63, 0x795548, 0x6D4C41, 0x5D4037, 0x4E342E, 0x3E2723) \
  X(grey, 0xFAFAFA, 0xF5F5F5, 0xEEEEEE, 0xE0E0E0, 0xBDBDBD, 0x9E9E9E, 0x757575, 0x616161, 0x424242, 0x212121) \
  X(blueGrey, 0xECEFF1, 0xCFD8DC, 0xB0BEC5, 0x90A4AE, 0x78909C, 0x607D8B, 0x546E7A, 0x455A64, 0x37474F, 0x263238)

// The CSS named colours, in lower camel case.
#define MORNIK_CSS_COLORS(X) \
  X(aliceBlue, 0xF0F8FF) \
  X(antiqueWhite, 0xFAEBD7) \
  X(aqua, 0x00FFFF) \
  X(aquamarine, 0x7FFFD4) \
  X(azure, 0xF0FFFF) \
  X(beige, 0xF5F5DC) \
  X(bisque, 0xFFE4C4) \
  X(black, 0x000000) \
  X(blanchedAlmond, 0xFFEBCD) \
  X(blue, 0x0000FF) \
  X(blueViolet, 0x8A2BE2) \
  X(brown, 0xA52A2A) \
  X(burlyWood, 0xDEB887) \
  X(cadetBlue, 0x5F9EA0) \
  X(chartreuse, 0x7FFF00) \
  X(chocolate, 0xD2691E) \
  X(coral, 0xFF7F50) \
  X(cornflowerBlue, 0x6495ED) \
  X(cornsilk, 0xFFF8DC) \
  X(crimson, 0xDC143C) \
  X(cyan, 0x00FFFF) \
  X(darkBlue, 0x00008B) \
  X(darkCyan, 0x008B8B) \
  X(darkGoldenRod, 0xB8860B) \
  X(darkGray, 0xA9A9A9) \
  X(darkGreen, 0x006400) \
  X(darkGrey, 0xA9A9A9) \
  X(darkKhaki, 0xBDB76B) \
  X(darkMagenta, 0x8B008B) \
  X(darkOliveGreen, 0x556B2F) \
  X(darkOrange, 0xFF8C00) \
  X(darkOrchid, 0x9932CC) \
  X(darkRed, 0x8B0000) \
  X(darkSalmon, 0xE9967A) \
  X(darkSeaGreen, 0x8FBC8F) \
  X(darkSlateBlue, 0x483D8B) \
  X(darkSlateGray, 0x2F4F4F) \
  X(darkSlateGrey, 0x2F4F4F) \
  X(darkTurquoise, 0x00CED1) \
  X(darkViolet, 0x9400D3) \
  X(deepPink, 0xFF1493) \
  X(deepSkyBlue, 0x00BFFF) \
  X(dimGray, 0x696969) \
  X(dimGrey, 0x696969) \
  X(dodgerBlue, 0x1E90FF) \
  X(fireBrick, 0xB22222) \
  X(floralWhite, 0xFFFAF0) \
  X(forestGreen, 0x228B22) \
  X(fuchsia, 0xFF00FF) \
  X(gainsboro, 0xDCDCDC) \
  X(ghostWhite, 0xF8F8FF) \
  X(gold, 0xFFD700) \
  X(goldenRod, 0xDAA520) \
  X(gray, 0x808080) \
  X(green, 0x008000) \
  X(greenYellow, 0xADFF2F) \
  X(grey, 0x808080) \
  X(honeyDew, 0xF0FFF0) \
  X(hotPink, 0xFF69B4) \
  X(indianRed, 0xCD5C5C) \
  X(indigo, 0x4B0082) \
  X(ivory, 0xFFFFF0) \
  X(khaki, 0xF0E68C) \
  X(lavender, 0xE6E6FA) \
  X(lavenderBlush, 0xFFF0F5) \
  X(lawnGreen, 0x7CFC00) \
  X(lemonChiffon, 0xFFFACD) \
  X(lightBlue, 0xADD8E6) \
  X(lightCoral, 0xF08080) \
  X(lightCyan, 0xE0FFFF) \
  X(lightGoldenRodYellow, 0xFAFAD2) \
  X(lightGray, 0xD3D3D3) \
  X(lightGreen, 0x90EE90) \
  X(lightGrey, 0xD3D3D3) \
  X(lightPink, 0xFFB6C1) \
  X(lightSalmon, 0xFFA07A) \
  X(lightSeaGreen, 0x20B2AA) \
  X(lightSkyBlue, 0x87CEFA) \
  X(lightSlateGray, 0x778899) \
  X(lightSlateGrey, 0x778899) \
  X(lightSteelBlue, 0xB0C4DE) \
  X(lightYellow, 0xFFFFE0) \
  X(lime, 0x00FF00) \
  X(limeGreen, 0x32CD32) \
  X(linen, 0xFAF0E6) \
  X(magenta, 0xFF00FF) \
  X(maroon, 0x800000) \
  X(mediumAquaMarine, 0x66CDAA) \
  X(mediumBlue, 0x0000CD) \
  X(mediumOrchid, 0xBA55D3) \
  X(mediumPurple, 0x9370DB) \
  X(mediumSeaGreen, 0x3CB371) \
  X(mediumSlateBlue, 0x7B68EE) \
  X(mediumSpringGreen, 0x00FA9A) \
  X(mediumTurquoise, 0x48D1CC) \
  X(mediumVioletRed, 0xC71585) \
  X(midnightBlue, 0x191970) \
  X(mintCream, 0xF5FFFA) \
  X(mistyRose, 0xFFE4E1) \
  X(moccasin, 0xFFE4B5) \
  X(navajoWhite, 0xFFDEAD) \
  X(navy, 0x000080) \
  X(oldLace, 0xFDF5E6) \
  X(olive, 0x808000) \
  X(oliveDrab, 0x6B8E23) \
  X(orange, 0xFFA500) \
  X(orangeRed, 0xFF4500) \
  X(orchid, 0xDA70D6) \
  X(paleGoldenRod, 0xEEE8AA) \
  X(paleGreen, 0x98FB98) \
  X(paleTurquoise, 0xAFEEEE) \
  X(paleVioletRed, 0xDB7093) \
  X(papayaWhip, 0xFFEFD5) \
  X(peachPuff, 0xFFDAB9) \
  X(peru, 0xCD853F) \
  X(pink, 0xFFC0CB) \
  X(plum, 0xDDA0DD) \
  X(powderBlue, 0xB0E0E6) \
  X(purple, 0x800080) \
  X(rebeccaPurple, 0x663399) \
  X(red, 0xFF0000) \
  X(rosyBrown, 0xBC8F8F) \
  X(royalBlue, 0x4169E1) \
  X(saddleBrown, 0x8B4513) \
  X(salmon, 0xFA8072) \
  X(sandyBrown, 0xF4A460) \
  X(seaGreen, 0x2E8B57) \
  X(seaShell, 0xFFF5EE) \
  X(sienna, 0xA0522D) \
  X(silver, 0xC0C0C0) \
  X(skyBlue, 0x87CEEB) \
  X(slateBlue, 0x6A5ACD) \
  X(slateGray, 0x708090) \
  X(slateGrey, 0x708090) \
  X(snow, 0xFFFAFA) \
  X(springGreen, 0x00FF7F) \
  X(steelBlue, 0x4682B4) \
  X(tan, 0xD2B48C) \
  X(teal, 0x008080) \
  X(thistle, 0xD8BFD8) \
  X(tomato, 0xFF6347) \
  X(turquoise, 0x40E0D0) \
  X(violet, 0xEE82EE) \
  X(wheat, 0xF5DEB3) \
  X(white, 0xFFFFFF) \
  X(whiteSmoke, 0xF5F5F5) \
  X(yellow, 0xFFFF00) \
  X(yellowGreen, 0x9ACD32)

// Flat UI.
#define MORNIK_FLAT_UI_COLORS(X) \
  X(turquoise, 0x1ABC9C) \
  X(greenSea, 0x16A085) \
  X(emerald, 0x2ECC71) \
  X(nephritis, 0x27AE60) \
  X(peterRiver, 0x3498DB) \
  X(belizeHole, 0x2980B9) \
  X(amethyst, 0x9B59B6) \
  X(wisteria, 0x8E44AD) \
  X(wetAsphalt, 0x34495E) \
  X(midnightBlue, 0x2C3E50) \
  X(sunFlower, 0xF1C40F) \
  X(flatOrange, 0xF39C12) \
  X(carrot, 0xE67E22) \
  X(pumkin, 0xD35400) \
  X(alizarin, 0xE74C3C) \
  X(pomegranate, 0xC0392B) \
  X(clouds, 0xECF0F1) \
  X(silver, 0xBDC3C7) \
  X(asbestos, 0x7F8C8D) \
  X(concerte, 0x95A5A6)

// Brand colours of outside services (soundCloud has yahoo's value).
#define MORNIK_SOCIAL_COLORS(X) \
  X(facebook, 0x3B5998) \
  X(twitter, 0x00B6F1) \
  X(googlePlus, 0xDF4A32) \
  X(linkedIn, 0x007BB6) \
  X(vimeo, 0x45BBFF) \
  X(youtube, 0xB31217) \
  X(instagram, 0xC32AA3) \
  X(pinterest, 0xCB2027) \
  X(flickr, 0xF40083) \
  X(yahoo, 0x430297) \
  X(soundCloud, 0x430297) \
  X(tumblr, 0x2C4762) \
  X(foursquare, 0xFC4575) \
  X(swarm, 0xFFB000) \
  X(dribbble, 0xEA4C89) \
  X(reddit, 0xFF5700) \
  X(devianArt, 0x4A5D4E) \
  X(pocket, 0xEE4056) \
  X(quora, 0xAA22B6) \
  X(slideShare, 0xF7921E) \
  X(px500, 0x0099E5) \
  X(listly, 0xDF6D46) \
  X(vine, 0x00B489) \
  X(skype, 0x00AFF0) \
  X(stumbleUpon, 0xEB4924) \
  X(snapchat, 0xFFFC00) \
  X(whatsApp, 0x25D366)

// clang-format on

}  // namespace mornik

// Expanding the tables. (Macros are used only here and undefined below.)
#define MORNIK_PALETTE_CONSTANT(name, hex) inline constexpr Color name = Color::fromHex(hex);
#define MORNIK_PALETTE_ENTRY(name, hex) PaletteEntry{#name, Color::fromHex(hex)},
#define MORNIK_MATERIAL_SHADES(X, hue, s50, s100, s200, s300, s400, s500, s600, s700, s800, s900) \
  X(hue##50, s50)                                                                                 \
  X(hue##100, s100)                                                                               \
  X(hue##200, s200)                                                                               \
  X(hue##300, s300)                                                                               \
  X(hue##400, s400)                                                                               \
  X(hue##500, s500)                                                                               \
  X(hue##600, s600)                                                                               \
  X(hue##700, s700)                                                                               \
  X(hue##800, s800)                                                                               \
  X(hue##900, s900)                                                                               \
  X(hue, s500)
#define MORNIK_MATERIAL_ACCENTED(X, hue, s50, s100, s200, s300, s400, s500, s600, s700, s800, \
                                 s900, a100, a200, a400, a700)                                \
  MORNIK_MATERIAL_SHADES(X, hue, s50, s100, s200, s300, s400, s500, s600, s700, s800, s900)   \
  X(hue##A100, a100)                                                                          \
  X(hue##A200, a200)                                                                          \
  X(hue##A400, a400)                                                                          \
  X(hue##A700, a700)
#define MORNIK_MATERIAL_CONSTANTS_A(...) \
  MORNIK_MATERIAL_ACCENTED(MORNIK_PALETTE_CONSTANT, __VA_ARGS__)
#define MORNIK_MATERIAL_CONSTANTS_P(...) \
  MORNIK_MATERIAL_SHADES(MORNIK_PALETTE_CONSTANT, __VA_ARGS__)
#define MORNIK_MATERIAL_ENTRIES_A(...) MORNIK_MATERIAL_ACCENTED(MORNIK_PALETTE_ENTRY, __VA_ARGS__)
#define MORNIK_MATERIAL_ENTRIES_P(...) MORNIK_MATERIAL_SHADES(MORNIK_PALETTE_ENTRY, __VA_ARGS__)

namespace mornik {

// 275 entries.
namespace Material {
MORNIK_MATERIAL_ACCENTED_HUES(MORNIK_MATERIAL_CONSTANTS_A)
MORNIK_MATERIAL_PLAIN_HUES(MORNIK_MATERIAL_CONSTANTS_P)
inline constexpr Color black = Color::fromHex(0x000000);
inline constexpr Color white = Color::fromHex(0xFFFFFF);
inline constexpr auto all = std::to_array<PaletteEntry>({
    MORNIK_MATERIAL_ACCENTED_HUES(MORNIK_MATERIAL_ENTRIES_A)
        MORNIK_MATERIAL_PLAIN_HUES(MORNIK_MATERIAL_ENTRIES_P) PaletteEntry{"black", black},
    PaletteEntry{"white", white},
});
}  // namespace Material

// 148 entries.
namespace CSS {
MORNIK_CSS_COLORS(MORNIK_PALETTE_CONSTANT)
inline constexpr auto all = std::to_array<PaletteEntry>({MORNIK_CSS_COLORS(MORNIK_PALETTE_ENTRY)});
}  // namespace CSS

// 20 entries.
namespace FlatUI {
MORNIK_FLAT_UI_COLORS(MORNIK_PALETTE_CONSTANT)
inline constexpr auto all =
    std::to_array<PaletteEntry>({MORNIK_FLAT_UI_COLORS(MORNIK_PALETTE_ENTRY)});
}  // namespace FlatUI

// 27 entries.
namespace Social {
MORNIK_SOCIAL_COLORS(MORNIK_PALETTE_CONSTANT)
inline constexpr auto all =
    std::to_array<PaletteEntry>({MORNIK_SOCIAL_COLORS(MORNIK_PALETTE_ENTRY)});
}  // namespace Social

}  // namespace mornik

#undef MORNIK_MATERIAL_ENTRIES_P
#undef MORNIK_MATERIAL_ENTRIES_A
#undef MORNIK_MATERIAL_CONSTANTS_P
#undef MORNIK_MATERIAL_CONSTANTS_A
#undef MORNIK_MATERIAL_ACCENTED
#undef MORNIK_MATERIAL_SHADES
#undef MORNIK_PALETTE_ENTRY
#undef MORNIK_PALETTE_CONSTANT
#undef MORNIK_SOCIAL_COLORS
#undef MORNIK_FLAT_UI_COLORS
#undef MORNIK_CSS_COLORS
#undef MORNIK_MATERIAL_PLAIN_HUES
#undef MORNIK_MATERIAL_ACCENTED_HUES

MORNIK_EXPORTS_END
