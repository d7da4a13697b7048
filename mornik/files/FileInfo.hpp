#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "mornik/base/Export.hpp"
#include "mornik/files/FS.hpp"
#include "mornik/flow/future/Future.hpp"
#include "mornik/text/Date.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// A width and a height in whole pixels.
struct IntSize {
  std::int64_t width = 0;
  std::int64_t height = 0;
  friend bool operator==(const IntSize&, const IntSize&) = default;
};

// A rendered image: PNG bytes and their pixel size.
struct ImageData {
  IntSize size;
  std::string png;
};

// Read-only questions about the item at a path, answered afresh each time.
//
//   auto info = mornik::fs("/home/me/photo.png").info();
//   info.name();             // "photo.png"
//   info.fileSizeString();   // " - 1.2 MB"
//   info.mimeType();         // "image/png"
//
// Nothing here fails: an answer is false, absent, empty, or the text
// "failedToGetName". Only creationDate() and modificationDate() say why
// they have no answer, on standard output: "FileAttribute error: <text>".
//
// On this system: a package is a folder whose name ends with ".localized",
// or an application folder (an AppDir: a folder holding an "AppRun"
// program), whose executable is that AppRun. The date added is the one the
// desktop's recently-used record keeps. The icon is the image the desktop's
// icon theme has for the item's names ("image-png image-x-generic"; see
// DesktopFiles::iconImage); its failures are the adapter's (ENOENT for a
// missing item or an icon no theme has; ENOSYS without the desktop library).
// Thumbnails come from the desktop's thumbnail cache when it has a fresh
// one, else from the image scaled down; where neither can be had, the icon
// stands in, as in a file manager.
//
// Thread safety: every member may be called from any thread.
class FSFileInfo {
 public:
  explicit FSFileInfo(FSstr obj) : obj_(std::move(obj)) {}
  const FSstr& obj() const { return obj_; }
  const std::string& path() const { return obj_.path(); }

  // The last non-empty "/"-separated part, or "failedToGetName".
  std::string name() const;
  bool isDirectory() const;
  bool isExecutable() const;
  bool isPackage() const;
  // The MIME type for the extension of the path's last component (after its
  // last "."; a dot name such as ".bashrc" has none), "application/octet-
  // stream" when there is none or it is unknown; absent for an empty path.
  std::optional<std::string> mimeType() const;
  // Everything the desktop knows of the item, as text ("standard::size" ->
  // "12"); empty when the item cannot be queried.
  std::map<std::string, std::string> getAttributes() const;
  std::optional<Date> addedToFSDate() const;
  // The later of the last access and the last change, in whole seconds.
  std::optional<Date> lastUseDate() const;
  // Of the item itself (a link is not followed). The creation date needs a
  // file system that records it.
  std::optional<Date> creationDate() const;
  std::optional<Date> modificationDate() const;
  std::optional<std::uint64_t> fileSizeBytes() const;
  // " - " and the size as the byte-count formatter writes it ("1 MB");
  // absent for folders and unreadable sizes.
  std::optional<std::string> fileSizeString() const;
  bool isHidden() const;
  // The icon theme's names for the item, most specific first; "" when the
  // item cannot be queried.
  std::string iconNames() const;
  // The item's icon at 32 x 32 pixels, the desktop's usual size for a file.
  Result<ImageData> icon() const;
  // The item's icon rendered for a square of `size` pixels (a fractional
  // size is truncated: 40.9 is 40).
  Result<ImageData> hiresIcon(int size) const;
  Result<ImageData> hiresIcon(double size) const;
  // A thumbnail at most `size` pixels wide and high; the icon at that size
  // when the item is not an image that can be read.
  Result<ImageData> hiresThumbnail(int size) const;

 private:
  FSstr obj_;
};

// The questions of FSFileInfo that are asked of a URL.
//
// Thread safety: every member may be called from any thread.
class FSUrlFileInfo {
 public:
  explicit FSUrlFileInfo(FSurl obj) : obj_(std::move(obj)) {}
  const FSurl& obj() const { return obj_; }
  const URL& url() const { return obj_.url(); }

  // Whether the item is there and the Linux file manager hides it: a dot
  // name, a backup ("notes~"), or a name listed in the folder's ".hidden"
  // file (as FS's listings leave out).
  bool isHidden() const;
  bool isDirectory() const;
  bool isExecutable() const;
  // The pixel size of an image; absent for anything else.
  std::optional<IntSize> getImgDimensions() const;

 private:
  FSurl obj_;
};

// FSFileInfo::hiresThumbnail of the URL's path: the thumbnail, else the
// icon; nothing when neither can be had. getImgThumbnail makes it as work
// of the global queue (started by the first registration or wait);
// getImgThumbnailSync makes it on the calling thread.
//
//   mornik::getImgThumbnail(url, 128)->onSuccess([](std::optional<mornik::ImageData> image) {
//     if (image) show(image->png);
//   });
std::shared_ptr<Flow::Future<std::optional<ImageData>>> getImgThumbnail(const URL& url, int size);
std::optional<ImageData> getImgThumbnailSync(const URL& url, int size);

// The byte-count text in the file style: decimal units ("Zero KB",
// "1 byte", "999 bytes", "1 KB", "1.5 MB", "1.23 GB"), numbers in the
// current locale.
std::string formatByteCount(std::uint64_t bytes);

}  // namespace mornik

MORNIK_EXPORTS_END
