#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

// A location: a file URL built from a path, or a URL parsed from text.
//
//   auto file = mornik::asURL("/tmp/report.pdf");        // file:///tmp/report.pdf
//   auto folder = mornik::asURLdir("/tmp");               // file:///tmp/
//   auto page = mornik::asBrowserUrl("https://example.org/a%20b?q=1");
//   page->scheme();  // "https"    page->path();  // "/a b"
//
// Parsing accepts the URI references of RFC 3986 (absolute URLs and relative
// references) written in ASCII: text with spaces, other characters that must
// be percent-encoded, malformed percent escapes or an invalid scheme does not
// parse. Nothing is resolved or fetched.
//
// Thread safety: a URL is an immutable value.

namespace mornik {

class URL {
 public:
  // A file URL for a path; a relative path is taken relative to the current
  // working directory. Marked as a directory when `isDirectory` (the text
  // then ends with "/").
  static URL fileURL(std::string_view path, bool isDirectory = false);
  // Nothing when the text is not a URI reference.
  static std::optional<URL> parse(std::string_view text);

  // The whole text ("file:///tmp/a%20b", "https://example.org/x").
  const std::string& absoluteString() const { return text_; }
  // The scheme in lower case, or "" for a relative reference.
  std::string scheme() const;
  bool isFileURL() const { return scheme() == "file"; }
  // The path component, percent-decoded ("/tmp/a b"), without a trailing "/"
  // unless it is the root.
  std::string path() const;
  // Whether the path ends with "/".
  bool hasDirectoryPath() const;

  friend bool operator==(const URL&, const URL&) = default;

 private:
  explicit URL(std::string text) : text_(std::move(text)) {}
  std::string text_;
};

// URL::fileURL(path, isDirectory).
URL asURL(std::string_view path, bool isDirectory = false);
// URL::fileURL(path, true).
URL asURLdir(std::string_view path);
// URL::parse(text).
std::optional<URL> asBrowserUrl(std::string_view text);

}  // namespace mornik

MORNIK_EXPORTS_END
