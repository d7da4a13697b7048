#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <set>
#include <sstream>

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

std::filesystem::path homeFolder() {
  const char* home = std::getenv("HOME");  // NOLINT(concurrency-mt-unsafe): read only
  return home != nullptr ? home : "/";
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

// ---- The icon theme, read as the freedesktop icon-theme rules say ----

// One folder of a theme's index ("48x48/mimetypes") and the sizes it serves.
struct IconFolder {
  std::string name;
  enum class Type { fixed, scalable, threshold } type = Type::threshold;
  int size = 0;
  int minSize = 0;
  int maxSize = 0;
  int threshold = 2;

  // How far its icons are from `side` pixels: 0 when they serve it.
  int distance(int side) const {
    switch (type) {
      case Type::fixed:
        return std::abs(size - side);
      case Type::scalable:
        return side < minSize ? minSize - side : side > maxSize ? side - maxSize : 0;
      case Type::threshold:
        return std::abs(size - side) <= threshold ? 0 : std::abs(size - side);
    }
    return INT_MAX;
  }
};

struct IconTheme {
  std::vector<std::filesystem::path> roots;  // <base>/<theme> folders that exist
  std::vector<IconFolder> folders;
  std::vector<std::string> parents;
};

// Where themes are looked for, first wins.
std::vector<std::filesystem::path> iconBases() {
  std::vector<std::filesystem::path> bases{homeFolder() / ".icons", dataHome() / "icons"};
  const char* dirs = std::getenv("XDG_DATA_DIRS");  // NOLINT(concurrency-mt-unsafe): read only
  std::istringstream list(dirs != nullptr && *dirs != 0 ? dirs : "/usr/local/share:/usr/share");
  for (std::string dir; std::getline(list, dir, ':');) {
    if (!dir.empty() && dir.front() == '/')
      bases.emplace_back(std::filesystem::path(dir) / "icons");
  }
  return bases;
}

int intKey(GKeyFile* file, const char* group, const char* key, int fallback) {
  GError* error = nullptr;
  const int value = g_key_file_get_integer(file, group, key, &error);
  if (error == nullptr) return value;
  g_error_free(error);
  return fallback;
}

std::string stringKey(GKeyFile* file, const char* group, const char* key) {
  gchar* value = g_key_file_get_string(file, group, key, nullptr);
  std::string out = value != nullptr ? value : "";
  g_free(value);
  return out;
}

std::vector<std::string> listKey(GKeyFile* file, const char* group, const char* key) {
  std::vector<std::string> out;
  gchar** values = g_key_file_get_string_list(file, group, key, nullptr, nullptr);
  for (gchar** value = values; value != nullptr && *value != nullptr; ++value) {
    if (**value != 0) out.emplace_back(*value);
  }
  g_strfreev(values);
  return out;
}

// The theme's index (the first index.theme among the bases) and every base
// folder that holds part of it; nothing when no index is found.
std::optional<IconTheme> loadTheme(const std::string& name,
                                   const std::vector<std::filesystem::path>& bases) {
  IconTheme theme;
  GKeyFile* index = g_key_file_new();
  g_key_file_set_list_separator(index, ',');
  bool loaded = false;
  for (const auto& base : bases) {
    std::error_code error;
    if (!std::filesystem::is_directory(base / name, error)) continue;
    theme.roots.push_back(base / name);
    if (!loaded) {
      loaded = g_key_file_load_from_file(index, (base / name / "index.theme").c_str(),
                                         G_KEY_FILE_NONE, nullptr) != 0;
    }
  }
  if (loaded) {
    theme.parents = listKey(index, "Icon Theme", "Inherits");
    for (std::string& folder : listKey(index, "Icon Theme", "Directories")) {
      const char* group = folder.c_str();
      if (intKey(index, group, "Scale", 1) != 1) continue;
      IconFolder entry;
      entry.size = intKey(index, group, "Size", 0);
      if (entry.size <= 0) continue;
      const std::string type = stringKey(index, group, "Type");
      if (type == "Fixed") entry.type = IconFolder::Type::fixed;
      if (type == "Scalable") entry.type = IconFolder::Type::scalable;
      entry.minSize = intKey(index, group, "MinSize", entry.size);
      entry.maxSize = intKey(index, group, "MaxSize", entry.size);
      entry.threshold = intKey(index, group, "Threshold", 2);
      entry.name = std::move(folder);
      theme.folders.push_back(std::move(entry));
    }
  }
  g_key_file_free(index);
  if (!loaded) return std::nullopt;
  return theme;
}

// The file of the theme named `name` of the size nearest `side`.
std::optional<std::filesystem::path> findIcon(const IconTheme& theme, const std::string& name,
                                              int side) {
  std::optional<std::filesystem::path> closest;
  int best = INT_MAX;
  for (const IconFolder& folder : theme.folders) {
    const int distance = folder.distance(side);
    if (distance >= best) continue;
    for (const auto& root : theme.roots) {
      for (const char* extension : {".png", ".svg", ".xpm"}) {
        auto path = root / folder.name / (name + extension);
        std::error_code error;
        if (!std::filesystem::is_regular_file(path, error)) continue;
        if (distance == 0) return path;
        best = distance;
        closest = std::move(path);
      }
    }
  }
  return closest;
}

// The user's theme: the one GTK's settings file names, else Adwaita.
std::string chosenTheme() {
  const char* config = std::getenv("XDG_CONFIG_HOME");  // NOLINT(concurrency-mt-unsafe): read only
  const std::filesystem::path configHome =
      config != nullptr && *config == '/' ? config : homeFolder() / ".config";
  std::string name;
  for (const char* toolkit : {"gtk-4.0", "gtk-3.0"}) {
    GKeyFile* settings = g_key_file_new();
    if (g_key_file_load_from_file(settings, (configHome / toolkit / "settings.ini").c_str(),
                                  G_KEY_FILE_NONE, nullptr)) {
      name = stringKey(settings, "Settings", "gtk-icon-theme-name");
    }
    g_key_file_free(settings);
    if (!name.empty()) return name;
  }
  return "Adwaita";
}

// The file for the first of `names` in the user's theme, its parents (depth
// first), hicolor, and then the unthemed pixmaps.
std::optional<std::filesystem::path> lookUpIcon(const std::vector<std::string>& names, int side) {
  const auto bases = iconBases();
  const auto firstIn = [&](const IconTheme& theme) -> std::optional<std::filesystem::path> {
    for (const std::string& icon : names) {
      if (auto path = findIcon(theme, icon, side)) return path;
    }
    return std::nullopt;
  };
  std::vector<std::string> pending{chosenTheme()};  // a stack: last is next
  std::set<std::string> seen{"hicolor"};            // searched last of all
  while (!pending.empty()) {
    const std::string name = pending.back();
    pending.pop_back();
    if (!seen.insert(name).second) continue;
    const auto theme = loadTheme(name, bases);
    if (!theme) continue;
    if (auto path = firstIn(*theme)) return path;
    pending.insert(pending.end(), theme->parents.rbegin(), theme->parents.rend());
  }
  if (const auto hicolor = loadTheme("hicolor", bases)) {
    if (auto path = firstIn(*hicolor)) return path;
  }
  for (const std::string& icon : names) {
    for (const char* extension : {".png", ".svg", ".xpm"}) {
      const auto path = std::filesystem::path("/usr/share/pixmaps") / (icon + extension);
      std::error_code error;
      if (std::filesystem::is_regular_file(path, error)) return path;
    }
  }
  return std::nullopt;
}

class GioDesktopFiles final : public DesktopFiles {
 public:
  Result<void> moveToTrash(const std::filesystem::path& item) override;
  std::optional<ItemInfo> queryItem(const std::filesystem::path& item) override;
  std::string contentTypeForName(std::string_view name) override;
  std::optional<double> dateAdded(const std::filesystem::path& item) override;
  std::optional<std::pair<int, int>> imageSize(const std::filesystem::path& image) override;
  std::optional<Thumbnail> thumbnail(const std::filesystem::path& image, int side) override;
  Result<Thumbnail> iconImage(const std::vector<std::string>& names, int side) override;
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

Result<Thumbnail> GioDesktopFiles::iconImage(const std::vector<std::string>& names, int side) {
  if (side < 1) return Error::fromErrno(EINVAL, "icon of side " + std::to_string(side));
  const auto path = lookUpIcon(names, side);
  if (!path) {
    std::string list;
    for (const std::string& name : names) list += (list.empty() ? "" : ", ") + name;
    return Error::fromErrno(ENOENT, "no icon in the icon theme named " + list);
  }
  GError* error = nullptr;
  GdkPixbuf* image = gdk_pixbuf_new_from_file_at_scale(path->c_str(), side, side, TRUE, &error);
  if (image == nullptr) return gioError(error);
  auto out = encoded(image);
  g_object_unref(image);
  if (!out) return Error::fromErrno(EIO, "icon " + path->string());
  return std::move(*out);
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
