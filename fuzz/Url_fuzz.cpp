// URLs: parsing keeps the text as it is; every file URL made from a path
// parses and gives the path back.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "mornik/text/URL.hpp"

namespace {
void check(bool holds) {
  if (!holds) __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto url = mornik::URL::parse(text)) {
    check(url->absoluteString() == text);
    const std::string scheme = url->scheme();
    for (const char c : scheme)
      check(std::islower(static_cast<unsigned char>(c)) || !std::isalpha(c));
    (void)url->path();
    (void)url->hasDirectoryPath();
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
