#include "mornik/desktop/Clipboard.hpp"

#include <filesystem>
#include <string_view>

#include "mornik/base/Output.hpp"
#include "mornik/platform/DesktopFiles.hpp"
#include "mornik/platform/Pasteboard.hpp"

namespace mornik {

namespace {

using Bytes = Pasteboard::Bytes;

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

void report(const Result<void>& written) {
  if (written.isFailure()) printLine(written.error().localizedDescription());
}

// Replaces what the clipboard holds with these representations.
void write(const std::vector<std::pair<std::string_view, Bytes>>& representations) {
  std::vector<Pasteboard::Representation> contents;
  contents.reserve(representations.size());
  for (const auto& [type, bytes] : representations) contents.emplace_back(type, bytes);
  report(Pasteboard::general()->setContents(std::move(contents)));
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

}  // namespace

void Clipboard::set(const std::optional<std::string>& text) {
  if (text) write({{Pasteboard::kPlainText, bytesOf(*text)}});
}

void Clipboard::set(const std::optional<URL>& url) {
  if (url) write({{Pasteboard::kUriList, bytesOf(url->absoluteString() + "\r\n")}});
}

void Clipboard::setImageFrom(const std::optional<URL>& url) {
  if (!url || !url->isFileURL()) return;
  const std::optional<DesktopFiles::Image> image = DesktopFiles::shared()->decodeImage(url->path());
  if (!image) return;
  // PNG last: under Wayland the last representation is the one offered.
  if (image->type == Pasteboard::kPng) {
    write({{Pasteboard::kPng, bytesOf(image->png)}});
  } else {
    write({{image->type, bytesOf(image->bytes)}, {Pasteboard::kPng, bytesOf(image->png)}});
  }
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
