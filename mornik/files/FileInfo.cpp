#include "mornik/files/FileInfo.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <sstream>
#include <string_view>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unicode/locid.h>
#include <unicode/numberformatter.h>
#include <unistd.h>

#include "mornik/base/Output.hpp"
#include "mornik/files/detail/Items.hpp"
#include "mornik/platform/DesktopFiles.hpp"

namespace mornik {

namespace {

bool isExecutableFile(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && !S_ISDIR(status.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

// An application folder names its program AppRun.
bool isApplicationFolder(const std::string& path) {
  struct stat status {};
  return ::stat((path + "/AppRun").c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

bool executableAt(const std::string& path) {
  if (!detail::folderExists(path)) return isExecutableFile(path);
  return isApplicationFolder(path) && isExecutableFile(path + "/AppRun");
}

Date dateOf(const statx_timestamp& time) {
  return Date::fromUnixTimestamp(static_cast<double>(time.tv_sec) + time.tv_nsec / 1e9);
}

// The item's own status (links not followed); prints why when it fails.
std::optional<struct statx> attributesOf(const std::string& path, unsigned mask) {
  struct statx status {};
  if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, mask, &status) != 0) {
    printLine("FileAttribute error: " + Error::fromErrno(errno, path).localizedDescription());
    return std::nullopt;
  }
  return status;
}

ImageData imageOf(DesktopFiles::Thumbnail made) {
  return ImageData{IntSize{made.width, made.height}, std::move(made.png)};
}

std::string formatNumber(double value, int fractionDigits) {
  UErrorCode status = U_ZERO_ERROR;
  const auto formatted = icu::number::NumberFormatter::withLocale(icu::Locale::getDefault())
                             .precision(icu::number::Precision::maxFraction(fractionDigits))
                             .formatDouble(value, status);
  const icu::UnicodeString text = formatted.toString(status);
  if (U_FAILURE(status)) return std::to_string(static_cast<long long>(value));
  std::string out;
  text.toUTF8String(out);
  return out;
}

}  // namespace

std::string formatByteCount(std::uint64_t bytes) {
  if (bytes == 0) return "Zero KB";
  if (bytes == 1) return "1 byte";
  if (bytes < 1000) return formatNumber(static_cast<double>(bytes), 0) + " bytes";
  static constexpr std::array<std::pair<const char*, int>, 6> kUnits{
      {{"KB", 0}, {"MB", 1}, {"GB", 2}, {"TB", 2}, {"PB", 2}, {"EB", 2}}};
  double value = static_cast<double>(bytes) / 1000.0;
  std::size_t unit = 0;
  while (unit + 1 < kUnits.size() && value >= 999.5) {
    value /= 1000.0;
    ++unit;
  }
  return formatNumber(value, kUnits[unit].second) + " " + kUnits[unit].first;
}

std::string FSFileInfo::name() const {
  std::string_view path = this->path();
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  if (path.empty()) return "failedToGetName";
  const auto slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

bool FSFileInfo::isDirectory() const { return detail::folderExists(path()); }

bool FSFileInfo::isExecutable() const { return executableAt(path()); }

bool FSFileInfo::isPackage() const {
  const std::string& path = this->path();
  constexpr std::string_view kLocalized = ".localized";
  if (path.size() >= kLocalized.size() &&
      path.compare(path.size() - kLocalized.size(), kLocalized.size(), kLocalized) == 0) {
    return true;
  }
  return detail::folderExists(path) && isApplicationFolder(path);
}

std::optional<std::string> FSFileInfo::mimeType() const {
  const std::string& path = this->path();
  if (path.empty()) return std::nullopt;
  const std::string extension = detail::pathExtension(path);
  return DesktopFiles::shared()->contentTypeForName(extension.empty() ? "x" : "x." + extension);
}

std::map<std::string, std::string> FSFileInfo::getAttributes() const {
  auto info = DesktopFiles::shared()->queryItem(path());
  return info ? std::move(info->attributes) : std::map<std::string, std::string>{};
}

std::optional<Date> FSFileInfo::addedToFSDate() const {
  const auto added = DesktopFiles::shared()->dateAdded(path());
  if (!added) return std::nullopt;
  return Date::fromUnixTimestamp(*added);
}

std::optional<Date> FSFileInfo::lastUseDate() const {
  struct stat status {};
  if (::stat(path().c_str(), &status) != 0) return std::nullopt;
  return Date::fromUnixTimestamp(static_cast<double>(std::max(status.st_atime, status.st_mtime)));
}

std::optional<Date> FSFileInfo::creationDate() const {
  const auto status = attributesOf(path(), STATX_BTIME);
  if (!status || (status->stx_mask & STATX_BTIME) == 0) return std::nullopt;
  return dateOf(status->stx_btime);
}

std::optional<Date> FSFileInfo::modificationDate() const {
  const auto status = attributesOf(path(), STATX_MTIME);
  if (!status) return std::nullopt;
  return dateOf(status->stx_mtime);
}

std::optional<std::uint64_t> FSFileInfo::fileSizeBytes() const {
  struct stat status {};
  if (::lstat(path().c_str(), &status) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(status.st_size);
}

std::optional<std::string> FSFileInfo::fileSizeString() const {
  struct stat status {};
  if (::lstat(path().c_str(), &status) != 0 || S_ISDIR(status.st_mode)) return std::nullopt;
  return " - " + formatByteCount(static_cast<std::uint64_t>(status.st_size));
}

bool FSFileInfo::isHidden() const { return FSUrlFileInfo(FSurl(URL::fileURL(path()))).isHidden(); }

std::string FSFileInfo::iconNames() const {
  const auto info = DesktopFiles::shared()->queryItem(path());
  return info ? info->iconNames : std::string();
}

Result<ImageData> FSFileInfo::icon() const { return hiresIcon(32); }

Result<ImageData> FSFileInfo::hiresIcon(int size) const {
  const std::shared_ptr<DesktopFiles> files = DesktopFiles::shared();
  const auto info = files->queryItem(path());
  std::vector<std::string> names;
  std::istringstream list(info ? info->iconNames : std::string());
  for (std::string name; list >> name;) names.push_back(std::move(name));
  auto image = files->iconImage(names, size);
  // An item the desktop does not know has no names, so no icon: say which.
  if (!info && image.isFailure() && image.error().is(kPOSIXErrorDomain, ENOENT)) {
    return Error::fromErrno(ENOENT, "icon of " + path());
  }
  return image.map(imageOf);
}

Result<ImageData> FSFileInfo::hiresIcon(double size) const {
  return hiresIcon(static_cast<int>(size));
}

Result<ImageData> FSFileInfo::hiresThumbnail(int size) const {
  if (auto made = DesktopFiles::shared()->thumbnail(path(), size)) return imageOf(std::move(*made));
  return hiresIcon(size);
}

bool FSUrlFileInfo::isHidden() const {
  struct stat status {};
  return ::lstat(url().path().c_str(), &status) == 0 && detail::isHiddenName(url().path());
}

bool FSUrlFileInfo::isDirectory() const { return detail::folderExists(url().path()); }

bool FSUrlFileInfo::isExecutable() const { return executableAt(url().path()); }

std::optional<IntSize> FSUrlFileInfo::getImgDimensions() const {
  const auto size = DesktopFiles::shared()->imageSize(url().path());
  if (!size) return std::nullopt;
  return IntSize{size->first, size->second};
}

std::optional<ImageData> getImgThumbnailSync(const URL& url, int size) {
  return FSFileInfo(FSstr(url.path())).hiresThumbnail(size).maybeSuccess();
}

std::shared_ptr<Flow::Future<std::optional<ImageData>>> getImgThumbnail(const URL& url, int size) {
  return Flow::Future<std::optional<ImageData>>::make(DispatchQueue::global(), [url, size] {
    return Result<std::optional<ImageData>>(getImgThumbnailSync(url, size));
  });
}

}  // namespace mornik
