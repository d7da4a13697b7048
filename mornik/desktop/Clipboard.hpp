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
// Every write replaces what the clipboard holds, as a clearing and then the
// new representations (Pasteboard::setContents: on X11 without giving the
// clipboard up in between); an absent argument does nothing at all, not
// even the clearing. Representations written (MIME types):
// - text: text/plain;charset=utf-8 (other programs also get UTF8_STRING,
//   STRING and TEXT on X11);
// - an address: text/uri-list, one line "<url>\r\n";
// - an image: image/png, and for another format first the file's own
//   bytes under its MIME type (image/jpeg, image/tiff, image/svg+xml, ...).
//   The file must decode whole (DesktopFiles::decodeImage, of the shared
//   instance): a truncated or corrupt image is not one here;
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
  // Nothing happens when the file cannot be read or is not an image that
  // decodes.
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
