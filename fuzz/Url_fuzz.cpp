// URLs: parsing keeps the text as it is; every file URL made from a path
// parses and gives the path back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "mornik/text/URL.hpp"

#include "fuzz/Check.hpp"

using fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto url = mornik::URL::parse(text)) {
    check(url->absoluteString() == text);
    const std::string scheme = url->scheme();
    check(std::none_of(scheme.begin(), scheme.end(), [](char c) { return c >= 'A' && c <= 'Z'; }));
    check(!url->hasDirectoryPath() || !url->path().empty());
  }
  if (!text.empty() && text.front() == '/') {
    for (const bool directory : {false, true}) {
      const auto file = mornik::URL::fileURL(text, directory);
      check(mornik::URL::parse(file.absoluteString()) == file && file.isFileURL());
      std::string path(text);
      if (path.size() > 1 && path.back() == '/') path.pop_back();
      check(file.path() == path && file.hasDirectoryPath() == (directory || text.back() == '/'));
    }
  }
  return 0;
}
