#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/concurrency/ThreadAnnotations.hpp"
#include "mornik/concurrency/UnfairLock.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// What the desktop knows about files beyond what the file system records:
// the trash, content types, icons and their images, when an item was added,
// pixel sizes and thumbnails of images.
//
//   auto files = mornik::DesktopFiles::shared();
//   auto trashed = files->moveToTrash("/home/me/old.txt");
//   files->contentTypeForName("notes.txt");                 // "text/plain"
//   auto size = files->imageSize("/home/me/photo.png");     // {640, 480}
//
// The real adapter, in the desktop library (mornik-desktop), is GIO (trash,
// file information, the recently-used bookmark file), GdkPixbuf (image
// sizes, scaled renders) and its own reading of the freedesktop icon themes
// (no toolkit needed); none of it needs a session bus or a desktop. Its
// failures are POSIX errors (code = errno: ENOENT for a missing item,
// ENOTSUP for a file system without a trash, EACCES, ...; EIO where GIO
// gives no errno) with GIO's own message as the description. Without the
// desktop library, the shared instance fails moveToTrash and iconImage
// with ENOSYS and knows nothing; MemoryDesktopFiles stands in for the desktop in tests.
//
// Thread safety: every member may be called from any thread.
class DesktopFiles {
 public:
  // What the desktop knows of an item.
  struct ItemInfo {
    std::string contentType;  // MIME type from contents and name ("text/plain")
    std::string iconNames;    // the icon's names, most specific first ("text-plain text-x-generic")
    // Every attribute the desktop reports, as text ("standard::size" -> "12").
    std::map<std::string, std::string> attributes;
  };
  // A rendered image: a thumbnail or an icon.
  struct Thumbnail {
    int width = 0;
    int height = 0;
    std::string png;
  };
  // An image file, decoded.
  struct Image {
    std::string type;   // the MIME type of its format ("image/jpeg")
    std::string bytes;  // the file as read
    std::string png;    // the image as PNG (`bytes` when the file is one)
  };

  virtual ~DesktopFiles() = default;
  DesktopFiles(const DesktopFiles&) = delete;
  DesktopFiles& operator=(const DesktopFiles&) = delete;

  // Moves the item to the user's trash ($XDG_DATA_HOME/Trash, or the trash
  // folder of the item's own file system), recording where it came from in
  // a .trashinfo file.
  virtual Result<void> moveToTrash(const std::filesystem::path& item) = 0;
  // What the desktop knows of an item; nothing when it cannot be queried (a
  // missing item).
  virtual std::optional<ItemInfo> queryItem(const std::filesystem::path& item) = 0;
  // The MIME type for a file name from its extension alone
  // ("application/octet-stream" when unknown).
  virtual std::string contentTypeForName(std::string_view name) = 0;
  // When the item was added to the desktop's record of recently used files
  // ($XDG_DATA_HOME/recently-used.xbel), in seconds since 1970; nothing when
  // it is not recorded there.
  virtual std::optional<double> dateAdded(const std::filesystem::path& item) = 0;
  // The pixel width and height of an image file; nothing when it is not an
  // image that can be read.
  virtual std::optional<std::pair<int, int>> imageSize(const std::filesystem::path& image) = 0;
  // A thumbnail of at most `side` pixels wide and high, as PNG bytes, with
  // its pixel size: the desktop's cached thumbnail ($XDG_CACHE_HOME/
  // thumbnails/{normal,large,x-large,xx-large}/<md5 of the URI>.png, the
  // smallest one at least `side` wide, when it is not older than the file)
  // when there is one, else the image rendered at that size. Nothing when
  // the file is not an image (or `side` < 1).
  virtual std::optional<Thumbnail> thumbnail(const std::filesystem::path& image, int side) = 0;
  // The image of the first of `names` (most specific first) that the icon
  // theme has, rendered to fit `side` x `side` pixels, as PNG bytes.
  // The theme is the one GTK's settings file names ($XDG_CONFIG_HOME/
  // gtk-4.0 or gtk-3.0/settings.ini, gtk-icon-theme-name), else Adwaita
  // (GNOME's own choice lives in dconf, whose reading needs its service;
  // the file needs nothing), then the themes it inherits and hicolor, searched in ~/.icons,
  // $XDG_DATA_HOME/icons and $XDG_DATA_DIRS/*/icons, then /usr/share/pixmaps;
  // in each theme the file of the size nearest to `side` wins (PNG, SVG or
  // XPM, scale 1). Fails with ENOENT when no theme has any of the names,
  // EINVAL for `side` < 1.
  virtual Result<Thumbnail> iconImage(const std::vector<std::string>& names, int side) = 0;
  // The file read and decoded whole; nothing when it is not an image, or a
  // truncated or corrupt one. Formats: those GdkPixbuf's installed loaders
  // read (PNG, JPEG, GIF, TIFF, BMP, ...; SVG with librsvg's loader). This
  // default, of the adapters without GdkPixbuf, decodes nothing.
  virtual std::optional<Image> decodeImage(const std::filesystem::path& image);

  // GIO and GdkPixbuf. (mornik-desktop)
  static std::shared_ptr<DesktopFiles> makeGio();
  // makeGio() when the program links the desktop library; else ENOSYS
  // ("the desktop's file information is not available: ...").
  static Result<std::shared_ptr<DesktopFiles>> forDesktop();
  // The process-wide instance: the one installed last, else (made on first
  // use) forDesktop(), else one that knows nothing (see above).
  static std::shared_ptr<DesktopFiles> shared();
  // Installs `files` as the shared instance; null: the default again.
  static void setShared(std::shared_ptr<DesktopFiles> files);

 protected:
  DesktopFiles() = default;
};

// The desktop's knowledge of files, in memory: the trash is a folder of the
// caller's choice (items are renamed into it, so it must be on their file
// system; failures are the rename's POSIX errors), and items and names are
// described by what the caller set, icons by the images the caller gave
// (answered as given, whatever the side). Dates, image sizes and
// thumbnails are never known, and no image decodes.
//
// Thread safety: every member may be called from any thread.
class MemoryDesktopFiles final : public DesktopFiles {
 public:
  explicit MemoryDesktopFiles(std::filesystem::path trash) : trash_(std::move(trash)) {}

  Result<void> moveToTrash(const std::filesystem::path& item) override MORNIK_EXCLUDES(lock_);
  std::optional<ItemInfo> queryItem(const std::filesystem::path& item) override
      MORNIK_EXCLUDES(lock_);
  std::string contentTypeForName(std::string_view name) override MORNIK_EXCLUDES(lock_);
  std::optional<double> dateAdded(const std::filesystem::path& item) override;
  std::optional<std::pair<int, int>> imageSize(const std::filesystem::path& image) override;
  std::optional<Thumbnail> thumbnail(const std::filesystem::path& image, int side) override;
  Result<Thumbnail> iconImage(const std::vector<std::string>& names, int side) override
      MORNIK_EXCLUDES(lock_);

  // What queryItem(item) answers (nothing for items never described).
  void describe(const std::filesystem::path& item, ItemInfo info) MORNIK_EXCLUDES(lock_);
  // The content type of names ending in `suffix` (".txt").
  void setContentType(const std::string& suffix, const std::string& type) MORNIK_EXCLUDES(lock_);
  // What iconImage answers for `name`.
  void setIcon(const std::string& name, Thumbnail image) MORNIK_EXCLUDES(lock_);
  // The items trashed so far, by their former paths, oldest first.
  std::vector<std::filesystem::path> trashed() const MORNIK_EXCLUDES(lock_);

 private:
  const std::filesystem::path trash_;
  mutable UnfairLock lock_;
  std::map<std::filesystem::path, ItemInfo> items_ MORNIK_GUARDED_BY(lock_);
  std::vector<std::pair<std::string, std::string>> types_ MORNIK_GUARDED_BY(lock_);
  std::vector<std::filesystem::path> trashed_ MORNIK_GUARDED_BY(lock_);
  std::map<std::string, Thumbnail> icons_ MORNIK_GUARDED_BY(lock_);
};

}  // namespace mornik

MORNIK_EXPORTS_END
