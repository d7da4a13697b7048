#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// The text shown for an information value that is missing or not text:
// U+26A0 U+FE0F, a warning sign in emoji presentation.
inline constexpr std::string_view kInfoPlaceholder = "\u26A0\uFE0F";

// The running application's bundle: its information values
// (AppIdentity::info(), a JSON object set by the application or read from
// "<executable>.info.json").
//
//   mornik::appName(mornik::Bundle::main());         // "Notes", or the placeholder
//   mornik::copyright(mornik::Bundle::main());       // lines joined by "\n" in the file split
//
// Thread safety: a Bundle is an immutable value.
class Bundle {
 public:
  // A bundle with these information values (anything but an object counts
  // as no dictionary at all).
  explicit Bundle(nlohmann::json info) : info_(std::move(info)) {}
  // The running application's bundle, as its information values are now.
  static Bundle main();

  const nlohmann::json& infoDictionary() const { return info_; }
  // The text value of `key`, or the placeholder.
  std::string text(std::string_view key) const;

 private:
  nlohmann::json info_;
};

// "CFBundleName".
std::string appName(const Bundle& bundle);
// "CFBundleVersion".
std::string appBuild(const Bundle& bundle);
// "CFBundleShortVersionString".
std::string appVersionLong(const Bundle& bundle);
// "NSHumanReadableCopyright", every backslash followed by n (two characters)
// made a line feed.
std::string copyright(const Bundle& bundle);

}  // namespace mornik

MORNIK_EXPORTS_END
