#include "mornik/base/Result.hpp"

#include <cstring>
#include <stdexcept>

namespace mornik {

namespace detail {

void throwResultHasNoError() {
  throw std::logic_error("mornik::Result::error() called on a success");
}

Error nilOptional(std::string_view type, std::string_view context) {
  std::string message;
  if (!context.empty()) {
    message.append("[").append(context).append("] ");
  }
  message.append("nil for optional value of type <").append(type).append(">");
  return WTF(std::move(message), 0);
}

}  // namespace detail

bool isValidUTF8(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* const end = p + bytes.size();
  while (p < end) {
    const unsigned char lead = *p;
    if (lead < 0x80) {
      ++p;
      continue;
    }
    std::size_t length = 0;
    unsigned char min = 0x80;
    unsigned char max = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) min = 0xA0;  // no overlong forms
      if (lead == 0xED) max = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) min = 0x90;  // no overlong forms
      if (lead == 0xF4) max = 0x8F;  // nothing above U+10FFFF
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) < length) return false;
    if (p[1] < min || p[1] > max) return false;
    for (std::size_t i = 2; i < length; ++i) {
      if (p[i] < 0x80 || p[i] > 0xBF) return false;
    }
    p += length;
  }
  return true;
}

Result<std::string> validatingUTF8(std::string_view bytes) {
  if (!isValidUTF8(bytes)) return WTF("can't validate cString", 0);
  return std::string(bytes);
}

Result<std::string> validatingUTF8(const char* cString) {
  if (cString == nullptr) return WTF("can't validate cString", 0);
  return validatingUTF8(std::string_view(cString, std::strlen(cString)));
}

}  // namespace mornik
