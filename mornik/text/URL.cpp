#include "mornik/text/URL.hpp"

#include <cctype>
#include <string>

#include <unistd.h>

namespace mornik {

namespace {

bool isUnreserved(unsigned char c) {
  return std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_' || c == '~';
}
bool isSubDelim(unsigned char c) {
  return c == '!' || c == '$' || c == '&' || c == '\'' || c == '(' || c == ')' || c == '*' ||
         c == '+' || c == ',' || c == ';' || c == '=';
}
bool isHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }
int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  return std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
}

// Characters a path may hold unescaped in a file URL.
bool keepsInPath(unsigned char c) {
  return isUnreserved(c) || c == '/' || c == '!' || c == '$' || c == '&' || c == '\'' || c == '(' ||
         c == ')' || c == '*' || c == '+' || c == ',' || c == ';' || c == '=' || c == ':' ||
         c == '@';
}

std::string percentEncodedPath(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char ch : path) {
    const auto c = static_cast<unsigned char>(ch);
    if (keepsInPath(c)) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

std::string percentDecoded(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && isHex(text[i + 1]) && isHex(text[i + 2])) {
      out.push_back(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

// The length of a scheme at the start of text ("https:"), or 0.
std::size_t schemeLength(std::string_view text) {
  if (text.empty() || std::isalpha(static_cast<unsigned char>(text[0])) == 0) return 0;
  std::size_t i = 1;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (std::isalnum(c) == 0 && c != '+' && c != '-' && c != '.') break;
    ++i;
  }
  return i < text.size() && text[i] == ':' ? i : 0;
}

// The path component: after the scheme and the authority, before ? and #.
std::string_view pathPart(std::string_view text) {
  if (const std::size_t scheme = schemeLength(text); scheme > 0) text.remove_prefix(scheme + 1);
  if (text.substr(0, 2) == "//") {
    const std::size_t end = text.find_first_of("/?#", 2);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end);
  }
  const std::size_t end = text.find_first_of("?#");
  return text.substr(0, end);
}

}  // namespace

URL URL::fileURL(std::string_view path, bool isDirectory) {
  std::string absolute;
  if (path.empty() || path.front() != '/') {
    char buffer[4096];
    if (getcwd(buffer, sizeof buffer) != nullptr) absolute = buffer;
    if (absolute.empty() || absolute.back() != '/') absolute.push_back('/');
  }
  absolute.append(path);
  if (isDirectory && absolute.back() != '/') absolute.push_back('/');
  return URL("file://" + percentEncodedPath(absolute));
}

std::optional<URL> URL::parse(std::string_view text) {
  if (text.empty()) return std::nullopt;
  const std::size_t scheme = schemeLength(text);
  if (scheme == 0) {
    // A relative reference: a colon before the first "/" would make it a
    // (bad) scheme.
    const std::size_t colon = text.find(':');
    if (colon != std::string_view::npos && colon < text.find_first_of("/?#")) return std::nullopt;
  }
  bool inFragment = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '%') {
      if (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2])) return std::nullopt;
      i += 2;
    } else if (c == '#') {
      if (inFragment) return std::nullopt;
      inFragment = true;
    } else if (!(isUnreserved(c) || isSubDelim(c) || c == ':' || c == '/' || c == '?' || c == '@' ||
                 c == '[' || c == ']')) {
      return std::nullopt;
    }
  }
  return URL(std::string(text));
}

std::string URL::scheme() const {
  std::string out = text_.substr(0, schemeLength(text_));
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string URL::path() const {
  std::string decoded = percentDecoded(pathPart(text_));
  if (decoded.size() > 1 && decoded.back() == '/') decoded.pop_back();
  return decoded;
}

bool URL::hasDirectoryPath() const {
  const std::string_view path = pathPart(text_);
  return !path.empty() && path.back() == '/';
}

URL asURL(std::string_view path, bool isDirectory) { return URL::fileURL(path, isDirectory); }
URL asURLdir(std::string_view path) { return URL::fileURL(path, true); }
std::optional<URL> asBrowserUrl(std::string_view text) { return URL::parse(text); }

}  // namespace mornik
