// Bytes to text: every encoding gives valid UTF-8 or nothing, never a crash;
// ISO Latin 1 decodes every byte, ASCII and UTF-8 exactly the valid ones,
// and detection without a byte order mark is UTF-8.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "mornik/base/Result.hpp"
#include "mornik/text/Bytes.hpp"

#include "fuzz/Check.hpp"

using mornik::StringEncoding;

using fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  for (int e = 0; e <= static_cast<int>(StringEncoding::utf32LittleEndian); ++e) {
    const auto text = mornik::string(bytes, static_cast<StringEncoding>(e));
    check(!text || mornik::isValidUTF8(*text));
    if (size == 0) check(text == "");
  }
  const auto high = static_cast<std::size_t>(
      std::count_if(bytes.begin(), bytes.end(), [](char c) { return (c & 0x80) != 0; }));
  check(mornik::string(bytes, StringEncoding::isoLatin1)->size() == size + high);
  const auto ascii = mornik::string(bytes, StringEncoding::ascii);
  check(high == 0 ? ascii == bytes : !ascii);
  const bool utf8 = mornik::isValidUTF8(bytes);
  check(mornik::string(bytes, StringEncoding::utf8) ==
        (utf8 ? std::optional<std::string>(bytes) : std::nullopt));
  check(mornik::asString(mornik::Data(data, data + size)).isSuccess() == utf8);
  const bool marked = bytes.starts_with("\xEF\xBB\xBF") || bytes.starts_with("\xFF\xFE") ||
                      bytes.starts_with("\xFE\xFF") ||
                      bytes.starts_with(std::string_view("\0\0\xFE\xFF", 4));
  if (!marked)
    check(mornik::stringDetectingEncoding(bytes) == mornik::string(bytes, StringEncoding::utf8));
  return 0;
}
