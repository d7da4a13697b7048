#pragma once

#include <optional>
#include <string>
#include <vector>

#include "mornik/base/Export.hpp"
#include "mornik/text/URL.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// Everyday writes to the desktop's general clipboard
// (Pasteboard::general()): text, an address, an image, references to files.
//
//   mornik::Clipboard::set(std::optional<std::string>("copied"));
//   mornik::Clipboard::copyFilesContent({mornik::asURL("/tmp/a.txt")});
//
// Every write first clears the clipboard; an absent argument does nothing at
// all, not even the clearing. Representations written (MIME types):
// - text: text/plain;charset=utf-8 (other programs also get UTF8_STRING,
//   STRING and TEXT on X11);
// - an address: text/uri-list, one line "<url>\r\n";
// - an image: its own bytes under its type, image/png, image/jpeg,
//   image/gif, image/webp or image/bmp, told by the file's signature (the
//   image is not decoded; another format is not an image here);
// - files: x-special/gnome-copied-files ("copy" and one URL a line, what
//   file managers paste) and text/uri-list. A file reference is the file
//   URL of the file's canonical path (symbolic links resolved); a file that
//   does not exist has none. Under Wayland only the last representation
//   written is offered (see Pasteboard).
// A write the clipboard refuses (a display that went away) is printed as a
// line (mornik::printLine) and otherwise ignored.
//
// Thread safety: every member may be called from any thread.
class Clipboard {
 public:
  Clipboard() = delete;

  static void set(const std::optional<std::string>& text);
  static void set(const std::optional<URL>& url);
  // Nothing happens when the file cannot be read or is not an image.
  static void setImageFrom(const std::optional<URL>& url);
  // Prints the file reference as a line, then writes it; nothing when the
  // file does not exist.
  static void copyFileContent(const std::optional<URL>& url);
  // The same for the file URL of `path`.
  static void copyFileContent(const std::optional<std::string>& path);
  // References of the URLs whose files exist, in order; nothing when none
  // does.
  static void copyFilesContent(const std::vector<URL>& urls);
  static void clear();
};

}  // namespace mornik

MORNIK_EXPORTS_END
