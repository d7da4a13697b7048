#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"

MORNIK_EXPORTS_BEGIN

// What the desktop knows about files beyond what the file system records:
// the trash, content types, hidden items, icons, when an item was added,
// pixel sizes and thumbnails of images.
//
//   auto trashed = mornik::DesktopFiles::moveToTrash("/home/me/old.txt");
//   mornik::DesktopFiles::contentTypeForName("notes.txt");   // "text/plain"
//   auto size = mornik::DesktopFiles::imageSize("/home/me/photo.png");  // {640, 480}
//
// Over GIO (trash, file information, the recently-used bookmark file) and
// GdkPixbuf (image sizes, scaled renders). None of it needs a session bus or
// a desktop.
//
// Thread safety: every function may be called from any thread.
namespace mornik::DesktopFiles {

// The GLib error domain of failures reported by GIO ("g-io-error-quark");
// the code is GIO's error code (G_IO_ERROR_NOT_FOUND = 1, NOT_SUPPORTED =
// 15, ...), the description GIO's own message.
inline constexpr std::string_view kGioErrorDomain = "g-io-error-quark";
inline constexpr std::int64_t kGioNotFound = 1;
inline constexpr std::int64_t kGioNotSupported = 15;

// Moves the item to the user's trash ($XDG_DATA_HOME/Trash, or the trash
// folder of the item's own file system), recording where it came from in a
// .trashinfo file. A file system without a trash (tmpfs, for one) fails with
// GIO's "not supported" error (kGioNotSupported); a missing item with
// kGioNotFound.
Result<void> moveToTrash(const std::filesystem::path& item);

// What GIO knows of an item; nothing when it cannot be queried (a missing
// item).
struct ItemInfo {
  std::string contentType;  // MIME type from contents and name ("text/plain")
  bool isHidden = false;    // a dot name, a backup name ("x~"), or listed in the folder's .hidden
  std::string iconNames;    // the icon's names, most specific first ("text-plain text-x-generic")
  // Every attribute GIO reports, as text ("standard::size" -> "12").
  std::map<std::string, std::string> attributes;
};
std::optional<ItemInfo> queryItem(const std::filesystem::path& item);

// The MIME type for a file name from its extension alone
// ("application/octet-stream" when unknown).
std::string contentTypeForName(std::string_view name);

// When the item was added to the desktop's record of recently used files
// ($XDG_DATA_HOME/recently-used.xbel), in seconds since 1970; nothing when
// it is not recorded there.
std::optional<double> dateAdded(const std::filesystem::path& item);

// The pixel width and height of an image file; nothing when it is not an
// image GdkPixbuf can read.
std::optional<std::pair<int, int>> imageSize(const std::filesystem::path& image);

// A thumbnail of at most `side` pixels wide and high, as PNG bytes, with its
// pixel size: the desktop's cached thumbnail ($XDG_CACHE_HOME/thumbnails/
// {normal,large,x-large,xx-large}/<md5 of the URI>.png, the smallest one at
// least `side` wide, when it is not older than the file) when there is one,
// else the image rendered at that size. Nothing when the file is not an
// image (or `side` < 1).
struct Thumbnail {
  int width = 0;
  int height = 0;
  std::string png;
};
std::optional<Thumbnail> thumbnail(const std::filesystem::path& image, int side);

}  // namespace mornik::DesktopFiles

MORNIK_EXPORTS_END
