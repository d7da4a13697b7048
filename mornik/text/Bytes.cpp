#include "mornik/text/Bytes.hpp"

#include <cstdint>
#include <memory>

#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>

#include "mornik/fileio/AtomicFile.hpp"

namespace mornik {

namespace {

const char* converterName(StringEncoding encoding) {
  switch (encoding) {
    case StringEncoding::ascii:
      return "US-ASCII";
    case StringEncoding::utf8:
      return "UTF-8";
    case StringEncoding::isoLatin1:
      return "ISO-8859-1";
    case StringEncoding::windowsCP1252:
      return "windows-1252";
    case StringEncoding::macRoman:
      return "macintosh";
    case StringEncoding::utf16:
      return "UTF-16";
    case StringEncoding::utf16BigEndian:
      return "UTF-16BE";
    case StringEncoding::utf16LittleEndian:
      return "UTF-16LE";
    case StringEncoding::utf32:
      return "UTF-32";
    case StringEncoding::utf32BigEndian:
      return "UTF-32BE";
    case StringEncoding::utf32LittleEndian:
      return "UTF-32LE";
  }
  return "UTF-8";
}

struct ConverterCloser {
  void operator()(UConverter* converter) const { ucnv_close(converter); }
};

// ICU counts in int32_t; a byte of input becomes at most three of UTF-8.
constexpr std::size_t kMostConvertible = INT32_MAX / 3;

// The bytes converted to UTF-8 by ICU, stopping at the first invalid sequence.
std::optional<std::string> convertToUTF8(std::string_view bytes, const char* name) {
  // ICU reports "nothing to convert" for no input; no bytes are "" in every encoding.
  if (bytes.empty()) return std::string();
  if (bytes.size() > kMostConvertible) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UConverter, ConverterCloser> converter(ucnv_open(name, &status));
  if (U_FAILURE(status)) return std::nullopt;
  ucnv_setToUCallBack(converter.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
  if (U_FAILURE(status)) return std::nullopt;
  const auto length = static_cast<int32_t>(bytes.size());
  const int32_t needed =
      ucnv_toAlgorithmic(UCNV_UTF8, converter.get(), nullptr, 0, bytes.data(), length, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return std::nullopt;
  std::string out(static_cast<std::size_t>(needed), '\0');
  status = U_ZERO_ERROR;
  ucnv_resetToUnicode(converter.get());
  ucnv_toAlgorithmic(UCNV_UTF8, converter.get(), out.data(), needed, bytes.data(), length, &status);
  if (U_FAILURE(status)) return std::nullopt;
  return out;
}

bool startsWith(std::string_view bytes, std::string_view prefix) {
  return bytes.substr(0, prefix.size()) == prefix;
}

}  // namespace

std::vector<std::uint8_t> bytes(const Data& data) { return data; }

std::optional<std::string> string(std::string_view bytes, StringEncoding encoding) {
  if (encoding == StringEncoding::utf8) {
    if (!isValidUTF8(bytes)) return std::nullopt;
    return std::string(bytes);
  }
  return convertToUTF8(bytes, converterName(encoding));
}

std::optional<std::string> string(const Data& data, StringEncoding encoding) {
  return string(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()),
                encoding);
}

Result<std::string> asString(const Data& data) {
  const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
  if (!isValidUTF8(text)) return WTF("can't convert Data to string", 0);
  return std::string(text);
}

std::optional<std::string> stringDetectingEncoding(std::string_view bytes) {
  using namespace std::string_view_literals;
  if (startsWith(bytes, "\xEF\xBB\xBF"sv)) return string(bytes.substr(3), StringEncoding::utf8);
  // The UTF-32 marks first: FF FE 00 00 also starts like the UTF-16 one.
  if (startsWith(bytes, "\xFF\xFE\x00\x00"sv)) {
    return string(bytes.substr(4), StringEncoding::utf32LittleEndian);
  }
  if (startsWith(bytes, "\x00\x00\xFE\xFF"sv)) {
    return string(bytes.substr(4), StringEncoding::utf32BigEndian);
  }
  if (startsWith(bytes, "\xFF\xFE"sv)) {
    return string(bytes.substr(2), StringEncoding::utf16LittleEndian);
  }
  if (startsWith(bytes, "\xFE\xFF"sv))
    return string(bytes.substr(2), StringEncoding::utf16BigEndian);
  return string(bytes, StringEncoding::utf8);
}

Result<void> write(const Data& data, const URL& url) {
  if (!url.isFileURL()) {
    return WTF("can't write to " + url.absoluteString() + ": not a file URL", 0);
  }
  return writeAtomically(url.path(), std::span<const std::uint8_t>(data.data(), data.size()));
}

}  // namespace mornik
