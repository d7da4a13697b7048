#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/text/URL.hpp"

MORNIK_EXPORTS_BEGIN

// Helpers on bytes (Data): copies, text in a chosen encoding, UTF-8 text and
// writing to a file.
//
//   mornik::Data raw = ...;
//   auto text = mornik::asString(raw);                     // Result<std::string>
//   auto latin = mornik::string(raw, mornik::StringEncoding::isoLatin1);
//   mornik::write(raw, mornik::asURL("/tmp/out.bin"));     // atomic replacement
//
// Thread safety: every function may be called from any thread.

namespace mornik {

// Bytes, as in StringUtils.hpp.
using Data = std::vector<std::uint8_t>;

// Text encodings of string(data, encoding).
enum class StringEncoding {
  ascii,
  utf8,
  isoLatin1,
  windowsCP1252,
  macRoman,
  utf16,  // byte order from a byte order mark, else big-endian
  utf16BigEndian,
  utf16LittleEndian,
  utf32,  // byte order from a byte order mark, else big-endian
  utf32BigEndian,
  utf32LittleEndian,
};

// A copy of the bytes.
std::vector<std::uint8_t> bytes(const Data& data);

// The bytes decoded in the given encoding, as UTF-8 text; nothing when they
// are not valid in it (a byte above 0x7F in ASCII, an unpaired surrogate in
// UTF-16, invalid UTF-8, ...). No bytes are "" in every encoding. Other
// encodings than UTF-8 decode at most 715 827 882 bytes (INT32_MAX / 3, the
// most ICU's counts allow): nothing for more.
std::optional<std::string> string(const Data& data, StringEncoding encoding);
std::optional<std::string> string(std::string_view bytes, StringEncoding encoding);

// The bytes as UTF-8 text; fails with "can't convert Data to string" (code
// 0) when they are not valid UTF-8.
Result<std::string> asString(const Data& data);

// Text with its encoding detected: a byte order mark selects UTF-8, UTF-16
// or UTF-32 in either byte order (the mark is dropped); without one the
// bytes must be valid UTF-8. Nothing when neither applies.
std::optional<std::string> stringDetectingEncoding(std::string_view bytes);

// Replaces the file at a file URL with the bytes, atomically
// (writeAtomically of fileio/AtomicFile.hpp, with its errors). A URL that is
// not a file URL fails with "can't write to <url>: not a file URL" (code 0).
Result<void> write(const Data& data, const URL& url);

}  // namespace mornik

MORNIK_EXPORTS_END
