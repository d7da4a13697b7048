#include "mornik/files/File.hpp"

#include <filesystem>
#include <system_error>

#include "mornik/fileio/AtomicFile.hpp"
#include "mornik/fileio/FileContents.hpp"
#include "mornik/fileio/FileHandle.hpp"
#include "mornik/files/detail/Items.hpp"

namespace mornik {

namespace {

bool isUtf8(std::string_view text) {
  std::size_t i = 0;
  const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  while (i < text.size()) {
    const unsigned char c = byte(i);
    std::size_t length = 0;
    std::uint32_t point = 0;
    if (c < 0x80) {
      ++i;
      continue;
    }
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
      point = c & 0x1FU;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      point = c & 0x0FU;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      point = c & 0x07U;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((byte(i + k) & 0xC0U) != 0x80) return false;
      point = (point << 6U) | (byte(i + k) & 0x3FU);
    }
    if ((length == 3 && point < 0x800) || (length == 4 && (point < 0x10000 || point > 0x10FFFF)) ||
        (point >= 0xD800 && point <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

void appendUtf8(std::string& out, std::uint32_t point) {
  if (point < 0x80) {
    out += static_cast<char>(point);
  } else if (point < 0x800) {
    out += static_cast<char>(0xC0U | (point >> 6U));
    out += static_cast<char>(0x80U | (point & 0x3FU));
  } else if (point < 0x10000) {
    out += static_cast<char>(0xE0U | (point >> 12U));
    out += static_cast<char>(0x80U | ((point >> 6U) & 0x3FU));
    out += static_cast<char>(0x80U | (point & 0x3FU));
  } else {
    out += static_cast<char>(0xF0U | (point >> 18U));
    out += static_cast<char>(0x80U | ((point >> 12U) & 0x3FU));
    out += static_cast<char>(0x80U | ((point >> 6U) & 0x3FU));
    out += static_cast<char>(0x80U | (point & 0x3FU));
  }
}

std::string fromUtf16(std::string_view bytes, bool bigEndian) {
  std::string out;
  const auto unit = [&](std::size_t at) -> std::uint32_t {
    const auto a = static_cast<unsigned char>(bytes[at]);
    const auto b = static_cast<unsigned char>(bytes[at + 1]);
    return bigEndian ? (a << 8U) | b : (b << 8U) | a;
  };
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    std::uint32_t point = unit(i);
    if (point >= 0xD800 && point <= 0xDBFF && i + 3 < bytes.size()) {
      const std::uint32_t low = unit(i + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        point = 0x10000 + ((point - 0xD800) << 10U) + (low - 0xDC00);
        i += 2;
      }
    }
    if (point >= 0xD800 && point <= 0xDFFF) point = 0xFFFD;
    appendUtf8(out, point);
  }
  return out;
}

std::string withFinalLineFeed(std::string_view text) {
  std::string out(text);
  if (out.empty() || out.back() != '\n') out += '\n';
  return out;
}

void makeHoldingFolder(const URL& url) {
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(url.path()).parent_path(), ignored);
}

}  // namespace

std::string decodeText(std::string bytes) {
  std::string_view view = bytes;
  if (view.starts_with("\xFF\xFE")) return fromUtf16(view.substr(2), false);
  if (view.starts_with("\xFE\xFF")) return fromUtf16(view.substr(2), true);
  if (view.starts_with("\xEF\xBB\xBF")) {
    bytes.erase(0, 3);
    view = bytes;
  }
  if (isUtf8(view)) return bytes;
  // Not UTF-8 after all: every byte is an ISO-8859-1 character.
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char c : bytes) appendUtf8(out, static_cast<unsigned char>(c));
  return out;
}

bool File::exists() const { return detail::itemExists(url_.path()); }

std::optional<std::string> File::getContent() const {
  auto bytes = readFileContents(url_.path());
  if (bytes.isFailure()) return std::nullopt;
  std::string text = decodeText(std::move(bytes).value());
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

void File::setContent(std::string_view text) const {
  auto written = setContentR(text);
  if (written.isFailure()) throw written.error();
}

Result<void> File::setContentR(std::string_view text) const {
  makeHoldingFolder(url_);
  return writeAtomically(url_.path(), withFinalLineFeed(text));
}

void File::append(std::string_view text) const {
  makeHoldingFolder(url_);
  auto handle = FileHandle::forUpdatingAtPath(url_.path());
  if (!handle) return;
  if (seekToEnd_r(*handle).isSuccess())
    static_cast<void>(write_r(*handle, withFinalLineFeed(text)));
  static_cast<void>(close_r(*handle));
}

Result<void> File::appendR(std::string_view text) const {
  makeHoldingFolder(url_);
  if (!exists()) {
    if (auto created = setContentR(""); created.isFailure()) return created;
  }
  auto handle = FileHandle::forUpdatingAtPath(url_.path());
  if (!handle) return Error::fromErrno(errno, "open " + url_.path());
  auto end = seekToEnd_r(*handle);
  if (end.isFailure()) return end.error();
  auto written = write_r(*handle, withFinalLineFeed(text));
  auto closed = close_r(*handle);
  if (written.isFailure()) return written;
  return closed;
}

void File::remove() const {
  if (exists()) static_cast<void>(detail::removeItem(url_.path()));
}

}  // namespace mornik
