#include "mornik/base/TypeName.hpp"

#include <cctype>
#include <cstdlib>
#include <memory>
#include <string_view>

#include <cxxabi.h>

namespace mornik::detail {

std::string demangledTypeName(const std::type_info& type) {
  int status = 0;
  const std::unique_ptr<char, decltype(&std::free)> name(
      abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), &std::free);
  return status == 0 && name ? std::string(name.get()) : std::string(type.name());
}

std::string unqualifiedTypeName(const std::type_info& type) {
  std::string full = demangledTypeName(type);
  constexpr std::string_view kAnonymous = "(anonymous namespace)::";
  for (auto at = full.find(kAnonymous); at != std::string::npos; at = full.find(kAnonymous)) {
    full.erase(at, kAnonymous.size());
  }
  // Drop every "qualifier::" run: an identifier directly followed by "::".
  std::string result;
  result.reserve(full.size());
  std::size_t identifierStart = 0;
  for (std::size_t i = 0; i < full.size(); ++i) {
    const char c = full[i];
    if (c == ':' && i + 1 < full.size() && full[i + 1] == ':') {
      result.erase(identifierStart);
      ++i;
      continue;
    }
    const bool identifierChar = std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
    if (!identifierChar) identifierStart = result.size() + 1;
    result += c;
  }
  return result;
}

}  // namespace mornik::detail
