#pragma once

#include <filesystem>
#include <string>

#include "mornik/platform/DesktopAdapters.hpp"
#include "mornik/text/URL.hpp"

#include "tests/support/ResultMatchers.hpp"
#include "tests/support/TempDir.hpp"

// What the file tests share: file URLs (whole-file reads and writes:
// tests/support/TempDir.hpp).
namespace mornik::test {

// The trash and the file information are the desktop's.
inline const bool kDesktopAdapters = (useDesktopAdapters(), true);

inline URL url(const std::filesystem::path& path) { return URL::fileURL(path.string()); }
inline URL dirUrl(const std::filesystem::path& path) { return URL::fileURL(path.string(), true); }

}  // namespace mornik::test
