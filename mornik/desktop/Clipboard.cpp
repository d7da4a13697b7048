#include "mornik/desktop/Clipboard.hpp"

#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string_view>

#include "mornik/base/Output.hpp"
#include "mornik/platform/Pasteboard.hpp"

namespace mornik {

namespace {

using Bytes = Pasteboard::Bytes;

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

void report(const Result<void>& written) {
  if (written.isFailure()) printLine(written.error().localizedDescription());
}

// Clears the clipboard, then writes each representation in order.
void write(const std::vector<std::pair<std::string_view, Bytes>>& representations) {
  const std::shared_ptr<Pasteboard> pasteboard = Pasteboard::general();
  Result<void> written = pasteboard->clearContents();
  for (const auto& [type, bytes] : representations) {
    if (written.isFailure()) break;
    written = pasteboard->setData(type, bytes);
  }
  report(written);
}

// The file URL of the file's canonical path, when it exists.
std::optional<std::string> fileReference(const URL& url) {
  if (!url.isFileURL()) return std::nullopt;
  std::error_code error;
  const std::filesystem::path canonical = std::filesystem::canonical(url.path(), error);
  if (error) return std::nullopt;
  return URL::fileURL(canonical.string(), std::filesystem::is_directory(canonical, error))
      .absoluteString();
}

void writeReferences(const std::vector<std::string>& references) {
  std::string copied = "copy";
  std::string list;
  for (const std::string& each : references) {
    copied += "\n" + each;
    list += each + "\r\n";
  }
  write({{"x-special/gnome-copied-files", bytesOf(copied)}, {Pasteboard::kUriList, bytesOf(list)}});
}

// The image type told by the first bytes of a file, or "".
std::string_view imageType(const Bytes& bytes) {
  const auto startsWith = [&](std::string_view magic, std::size_t at = 0) {
    return bytes.size() >= at + magic.size() &&
           std::equal(magic.begin(), magic.end(), bytes.begin() + static_cast<long>(at),
                      [](char m, std::uint8_t b) { return static_cast<std::uint8_t>(m) == b; });
  };
  if (startsWith("\x89PNG\r\n\x1a\n")) return "image/png";
  if (startsWith("\xFF\xD8\xFF")) return "image/jpeg";
  if (startsWith("GIF87a") || startsWith("GIF89a")) return "image/gif";
  if (startsWith("RIFF") && startsWith("WEBP", 8)) return "image/webp";
  if (startsWith("BM") && bytes.size() > 26) return "image/bmp";
  return {};
}

}  // namespace

void Clipboard::set(const std::optional<std::string>& text) {
  if (text) write({{Pasteboard::kPlainText, bytesOf(*text)}});
}

void Clipboard::set(const std::optional<URL>& url) {
  if (url) write({{Pasteboard::kUriList, bytesOf(url->absoluteString() + "\r\n")}});
}

void Clipboard::setImageFrom(const std::optional<URL>& url) {
  if (!url || !url->isFileURL()) return;
  std::ifstream in(url->path(), std::ios::binary);
  if (!in) return;
  Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string_view type = imageType(bytes);
  if (!type.empty()) write({{type, std::move(bytes)}});
}

void Clipboard::copyFileContent(const std::optional<URL>& url) {
  if (!url) return;
  std::optional<std::string> reference = fileReference(*url);
  if (!reference) return;
  printLine(*reference);
  writeReferences({*reference});
}

void Clipboard::copyFileContent(const std::optional<std::string>& path) {
  if (path) copyFileContent(std::optional<URL>(URL::fileURL(*path)));
}

void Clipboard::copyFilesContent(const std::vector<URL>& urls) {
  std::vector<std::string> references;
  for (const URL& url : urls) {
    if (auto reference = fileReference(url)) references.push_back(std::move(*reference));
  }
  if (!references.empty()) writeReferences(references);
}

void Clipboard::clear() { report(Pasteboard::general()->clearContents()); }

}  // namespace mornik
