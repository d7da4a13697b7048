#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gio/gio.h>
#include <sys/stat.h>

#include "mornik/platform/DesktopFiles.hpp"
#include "mornik/platform/detail/DesktopFactories.hpp"
#include "mornik/text/URL.hpp"

namespace mornik {

namespace {

using ItemInfo = DesktopFiles::ItemInfo;
using Thumbnail = DesktopFiles::Thumbnail;

// The errno behind a GIO error (GIO keeps only its own codes), EIO where
// there is none.
int errnoOf(const GError* error) {
  if (error->domain != G_IO_ERROR) return EIO;
  static constexpr std::array<std::pair<int, int>, 14> kCodes{{
      {G_IO_ERROR_NOT_FOUND, ENOENT},
      {G_IO_ERROR_EXISTS, EEXIST},
      {G_IO_ERROR_IS_DIRECTORY, EISDIR},
      {G_IO_ERROR_NOT_DIRECTORY, ENOTDIR},
      {G_IO_ERROR_NOT_EMPTY, ENOTEMPTY},
      {G_IO_ERROR_FILENAME_TOO_LONG, ENAMETOOLONG},
      {G_IO_ERROR_INVALID_FILENAME, EINVAL},
      {G_IO_ERROR_TOO_MANY_LINKS, ELOOP},
      {G_IO_ERROR_NO_SPACE, ENOSPC},
      {G_IO_ERROR_PERMISSION_DENIED, EACCES},
      {G_IO_ERROR_NOT_SUPPORTED, ENOTSUP},
      {G_IO_ERROR_READ_ONLY, EROFS},
      {G_IO_ERROR_BUSY, EBUSY},
      {G_IO_ERROR_CANCELLED, ECANCELED},
  }};
  for (const auto& [code, number] : kCodes) {
    if (error->code == code) return number;
  }
  return EIO;
}

// A POSIX error with GIO's message; frees the GError.
Error gioError(GError* error) {
  Error converted(std::string(kPOSIXErrorDomain), errnoOf(error),
                  {{std::string(kLocalizedDescriptionKey), std::string(error->message)}});
  g_error_free(error);
  return converted;
}

std::string fileUri(const std::filesystem::path& path) {
  return URL::fileURL(std::filesystem::absolute(path).lexically_normal().string()).absoluteString();
}

std::filesystem::path cacheHome() {
  const char* cache = std::getenv("XDG_CACHE_HOME");  // NOLINT(concurrency-mt-unsafe): read only
  if (cache != nullptr && *cache == '/') return cache;
  const char* home = std::getenv("HOME");  // NOLINT(concurrency-mt-unsafe): read only
  return std::filesystem::path(home != nullptr ? home : "/") / ".cache";
}

std::filesystem::path dataHome() {
  const char* data = std::getenv("XDG_DATA_HOME");  // NOLINT(concurrency-mt-unsafe): read only
  if (data != nullptr && *data == '/') return data;
  const char* home = std::getenv("HOME");  // NOLINT(concurrency-mt-unsafe): read only
  return std::filesystem::path(home != nullptr ? home : "/") / ".local/share";
}

// The pixbuf scaled so that neither side exceeds `side` (a new reference).
GdkPixbuf* fitted(GdkPixbuf* pixbuf, int side) {
  const int width = gdk_pixbuf_get_width(pixbuf);
  const int height = gdk_pixbuf_get_height(pixbuf);
  if (width <= side && height <= side) return GDK_PIXBUF(g_object_ref(pixbuf));
  const double scale = static_cast<double>(side) / std::max(width, height);
  return gdk_pixbuf_scale_simple(pixbuf, std::max(1, static_cast<int>(width * scale)),
                                 std::max(1, static_cast<int>(height * scale)),
                                 GDK_INTERP_BILINEAR);
}

std::optional<Thumbnail> encoded(GdkPixbuf* pixbuf) {
  gchar* buffer = nullptr;
  gsize size = 0;
  std::optional<Thumbnail> out;
  if (gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "png", nullptr, nullptr)) {
    out = Thumbnail{gdk_pixbuf_get_width(pixbuf), gdk_pixbuf_get_height(pixbuf),
                    std::string(buffer, size)};
  }
  g_free(buffer);
  return out;
}

// The cached thumbnail of the file, when one is there and fresh.
GdkPixbuf* cachedThumbnail(const std::filesystem::path& image, int side) {
  struct stat status {};
  if (::stat(image.c_str(), &status) != 0) return nullptr;
  const std::string uri = fileUri(image);
  gchar* digest = g_compute_checksum_for_string(G_CHECKSUM_MD5, uri.c_str(), -1);
  const std::string name = std::string(digest) + ".png";
  g_free(digest);
  constexpr std::array<std::pair<const char*, int>, 4> kSizes{
      {{"normal", 128}, {"large", 256}, {"x-large", 512}, {"xx-large", 1024}}};
  for (const auto& [folder, folderSide] : kSizes) {
    if (folderSide < side && folderSide != 1024) continue;
    const auto path = cacheHome() / "thumbnails" / folder / name;
    GdkPixbuf* cached = gdk_pixbuf_new_from_file(path.c_str(), nullptr);
    if (cached == nullptr) continue;
    const char* mtime = gdk_pixbuf_get_option(cached, "tEXt::Thumb::MTime");
    if (mtime != nullptr && std::strtoll(mtime, nullptr, 10) == status.st_mtime) return cached;
    g_object_unref(cached);
  }
  return nullptr;
}

class GioDesktopFiles final : public DesktopFiles {
 public:
  Result<void> moveToTrash(const std::filesystem::path& item) override;
  std::optional<ItemInfo> queryItem(const std::filesystem::path& item) override;
  std::string contentTypeForName(std::string_view name) override;
  std::optional<double> dateAdded(const std::filesystem::path& item) override;
  std::optional<std::pair<int, int>> imageSize(const std::filesystem::path& image) override;
  std::optional<Thumbnail> thumbnail(const std::filesystem::path& image, int side) override;
  std::optional<Image> decodeImage(const std::filesystem::path& image) override;
};

}  // namespace

Result<void> GioDesktopFiles::moveToTrash(const std::filesystem::path& item) {
  GFile* file = g_file_new_for_path(item.c_str());
  GError* error = nullptr;
  const bool trashed = g_file_trash(file, nullptr, &error);
  g_object_unref(file);
  if (!trashed) return gioError(error);
  return {};
}

std::optional<ItemInfo> GioDesktopFiles::queryItem(const std::filesystem::path& item) {
  GFile* file = g_file_new_for_path(item.c_str());
  GFileInfo* info =
      g_file_query_info(file, "*", G_FILE_QUERY_INFO_NOFOLLOW_SYMLINKS, nullptr, nullptr);
  g_object_unref(file);
  if (info == nullptr) return std::nullopt;
  ItemInfo out;
  if (g_file_info_has_attribute(info, G_FILE_ATTRIBUTE_STANDARD_CONTENT_TYPE)) {
    if (const char* type = g_file_info_get_content_type(info)) {
      gchar* mime = g_content_type_get_mime_type(type);
      out.contentType = mime != nullptr ? mime : type;
      g_free(mime);
    }
  }
  if (g_file_info_has_attribute(info, G_FILE_ATTRIBUTE_STANDARD_IS_HIDDEN)) {
    out.isHidden = g_file_info_get_is_hidden(info) != 0;
  }
  if (g_file_info_has_attribute(info, G_FILE_ATTRIBUTE_STANDARD_ICON)) {
    if (GIcon* icon = g_file_info_get_icon(info); icon != nullptr && G_IS_THEMED_ICON(icon)) {
      for (const gchar* const* name = g_themed_icon_get_names(G_THEMED_ICON(icon));
           name != nullptr && *name != nullptr; ++name) {
        if (!out.iconNames.empty()) out.iconNames += ' ';
        out.iconNames += *name;
      }
    }
  }
  gchar** names = g_file_info_list_attributes(info, nullptr);
  for (gchar** name = names; name != nullptr && *name != nullptr; ++name) {
    gchar* text = g_file_info_get_attribute_as_string(info, *name);
    if (text != nullptr) out.attributes.emplace(*name, text);
    g_free(text);
  }
  g_strfreev(names);
  g_object_unref(info);
  return out;
}

std::string GioDesktopFiles::contentTypeForName(std::string_view name) {
  const std::string text(name);
  gboolean uncertain = FALSE;
  gchar* type = g_content_type_guess(text.c_str(), nullptr, 0, &uncertain);
  std::string out = "application/octet-stream";
  if (type != nullptr) {
    gchar* mime = g_content_type_get_mime_type(type);
    if (mime != nullptr) out = mime;
    g_free(mime);
  }
  g_free(type);
  return out;
}

std::optional<double> GioDesktopFiles::dateAdded(const std::filesystem::path& item) {
  GBookmarkFile* bookmarks = g_bookmark_file_new();
  std::optional<double> added;
  const auto file = dataHome() / "recently-used.xbel";
  if (g_bookmark_file_load_from_file(bookmarks, file.c_str(), nullptr)) {
    const std::string uri = fileUri(item);
    if (GDateTime* date = g_bookmark_file_get_added_date_time(bookmarks, uri.c_str(), nullptr)) {
      added =
          static_cast<double>(g_date_time_to_unix(date)) + g_date_time_get_microsecond(date) / 1e6;
    }
  }
  g_bookmark_file_free(bookmarks);
  return added;
}

std::optional<std::pair<int, int>> GioDesktopFiles::imageSize(const std::filesystem::path& image) {
  int width = 0;
  int height = 0;
  if (gdk_pixbuf_get_file_info(image.c_str(), &width, &height) == nullptr) return std::nullopt;
  if (width <= 0 || height <= 0) return std::nullopt;
  return std::pair{width, height};
}

std::optional<Thumbnail> GioDesktopFiles::thumbnail(const std::filesystem::path& image, int side) {
  if (side < 1) return std::nullopt;
  GdkPixbuf* source = cachedThumbnail(image, side);
  if (source == nullptr) {
    source = gdk_pixbuf_new_from_file_at_scale(image.c_str(), side, side, TRUE, nullptr);
  }
  if (source == nullptr) return std::nullopt;
  GdkPixbuf* scaled = fitted(source, side);
  g_object_unref(source);
  if (scaled == nullptr) return std::nullopt;
  auto out = encoded(scaled);
  g_object_unref(scaled);
  return out;
}

std::optional<DesktopFiles::Image> GioDesktopFiles::decodeImage(
    const std::filesystem::path& image) {
  gchar* contents = nullptr;
  gsize length = 0;
  if (!g_file_get_contents(image.c_str(), &contents, &length, nullptr)) return std::nullopt;
  Image out{{}, std::string(contents, length), {}};
  g_free(contents);
  // From the file: the incremental loader takes a truncated PNG whose rows
  // have all come as whole.
  GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file(image.c_str(), nullptr);
  if (pixbuf == nullptr) return std::nullopt;
  std::optional<Image> decoded;
  if (GdkPixbufFormat* format = gdk_pixbuf_get_file_info(image.c_str(), nullptr, nullptr)) {
    gchar** types = gdk_pixbuf_format_get_mime_types(format);
    out.type = types != nullptr && types[0] != nullptr ? types[0] : "application/octet-stream";
    g_strfreev(types);
    if (out.type == "image/png") {
      out.png = out.bytes;
      decoded = std::move(out);
    } else if (auto png = encoded(pixbuf)) {
      out.png = std::move(png->png);
      decoded = std::move(out);
    }
  }
  g_object_unref(pixbuf);
  return decoded;
}

std::shared_ptr<DesktopFiles> DesktopFiles::makeGio() {
  return std::make_shared<GioDesktopFiles>();
}

Result<std::shared_ptr<DesktopFiles>> detail::desktopFiles() { return DesktopFiles::makeGio(); }

}  // namespace mornik
