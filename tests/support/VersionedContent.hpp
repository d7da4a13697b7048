#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "mornik/text/Json.hpp"

namespace mornik::test {

// File content that proves itself complete: a header naming its version and
// body size, the body, and a trailer repeating the version. Sizes vary from
// version to version (up to about 200 KB) so that a torn write shows.
inline std::string versionedContent(long version) {
  const std::size_t size = 1000 + static_cast<std::size_t>(version * 7919 % 200000);
  std::string content =
      "version " + std::to_string(version) + " size " + std::to_string(size) + "\n";
  content.append(size, static_cast<char>('a' + version % 26));
  content += "\nend " + std::to_string(version) + "\n";
  return content;
}

// The version of a complete content, or nothing when it is torn or foreign.
inline std::optional<long> completeVersion(std::string_view content) {
  long version = -1;
  unsigned long size = 0;
  if (std::sscanf(std::string(content.substr(0, 64)).c_str(), "version %ld size %lu", &version,
                  &size) != 2) {
    return std::nullopt;
  }
  if (version < 0 || content != versionedContent(version)) return std::nullopt;
  return version;
}

// A document value that proves itself complete the same way: its body
// repeats a letter of its version a version-dependent number of times (up to
// about 4 KB).
struct VersionedValue {
  long version = 0;
  std::string body;
  friend bool operator==(const VersionedValue&, const VersionedValue&) = default;
};
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(VersionedValue, version, body)

inline VersionedValue versionedValue(long version) {
  const auto size = 100 + static_cast<std::size_t>(version * 7919 % 4000);
  return VersionedValue{version, std::string(size, static_cast<char>('a' + version % 26))};
}

}  // namespace mornik::test
