#include "mornik/files/FS.hpp"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "mornik/files/FileInfo.hpp"
#include "mornik/files/detail/Items.hpp"
#include "mornik/platform/DesktopFiles.hpp"
#include "mornik/platform/Workspace.hpp"

namespace mornik {

namespace {

std::vector<std::filesystem::path> pathsOf(const std::vector<URL>& urls) {
  std::vector<std::filesystem::path> paths;
  paths.reserve(urls.size());
  for (const auto& url : urls) paths.emplace_back(url.path());
  return paths;
}

// The folder's direct children, hidden ones (detail::HiddenNames) left
// out; folders (by the entry's own type, links not followed) as directory
// URLs.
Result<std::vector<URL>> children(const URL& folderUrl) {
  const std::string folder = folderUrl.path();
  DIR* handle = ::opendir(folder.c_str());
  if (handle == nullptr) return Error::fromErrno(errno, "list " + folder);
  const detail::HiddenNames hidden(folder);
  const std::string prefix = folder == "/" ? folder : folder + "/";
  std::vector<URL> out;
  errno = 0;
  // NOLINTNEXTLINE(concurrency-mt-unsafe): each directory stream is read by one thread
  while (const dirent* entry = ::readdir(handle)) {
    const std::string_view name = entry->d_name;
    if (hidden.contains(name)) continue;  // "." and ".." too
    bool isFolder = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat status {};
      isFolder = ::fstatat(::dirfd(handle), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                 S_ISDIR(status.st_mode);
    }
    out.push_back(URL::fileURL(prefix + entry->d_name, isFolder));
    errno = 0;
  }
  const int error = errno;
  ::closedir(handle);
  if (error != 0) return Error::fromErrno(error, "list " + folder);
  return out;
}

// Lists the folder `name` (in `parent`) into `out`, then each sub-folder
// in turn. The root (`follow`) may be a link to a folder; links below it
// are listed, never entered, so a link cycle cannot make the walk go round.
void collect(int parent, const char* name, bool follow, std::string& path, std::vector<URL>& out) {
  const int fd =
      ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
  if (fd < 0) return;
  DIR* folder = ::fdopendir(fd);
  if (folder == nullptr) {
    ::close(fd);
    return;
  }
  const std::size_t base = path.size();
  // NOLINTNEXTLINE(concurrency-mt-unsafe): each directory stream is read by one thread
  while (const dirent* entry = ::readdir(folder)) {
    const std::string_view child = entry->d_name;
    if (child == "." || child == ".." || child == ".DS_Store") continue;
    bool isFolder = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat status {};
      isFolder = ::fstatat(fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                 S_ISDIR(status.st_mode);
    }
    path.resize(base);
    path += '/';
    path += child;
    out.push_back(URL::fileURL(path, isFolder));
    if (isFolder) collect(fd, entry->d_name, false, path, out);
  }
  path.resize(base);
  ::closedir(folder);
}

void ignore(const Result<void>& /*outcome*/) {}

}  // namespace

std::vector<URL> getFiles(const URL& url) {
  std::vector<URL> out;
  std::string root = url.path();
  if (!detail::folderExists(root)) return out;
  if (root == "/") root.clear();
  collect(AT_FDCWD, root.empty() ? "/" : root.c_str(), true, root, out);
  return out;
}

std::shared_ptr<DesktopFiles> FS::fmDefault() { return DesktopFiles::shared(); }

bool FS::exist(const std::optional<URL>& url) { return url && detail::itemExists(url->path()); }
bool FS::exist(const std::optional<std::string>& path) { return path && detail::itemExists(*path); }

Result<void> FS::mkdir(const URL& url) { return mkdir(url.path()); }
Result<void> FS::mkdir(const std::string& path) {
  if (detail::itemExists(path)) return WTF("Dir already exist: " + path, 0);
  std::error_code error;
  std::filesystem::create_directories(path, error);
  if (error) {
    return WTF("Can't create dir at path : " + path + ". \nError: " + error.message(), 0);
  }
  return {};
}

Result<void> FS::copy(const URL& source, const URL& destination, bool replace) {
  return copy(source.path(), destination.path(), replace);
}
Result<void> FS::copy(const std::string& source, const std::string& destination, bool replace) {
  if (replace && detail::itemExists(destination)) {
    if (auto removed = remove(destination); removed.isFailure()) return removed;
  }
  return detail::copyItem(source, destination);
}

Result<void> FS::move(const URL& source, const URL& destination, bool replace) {
  return move(source.path(), destination.path(), replace);
}
Result<void> FS::move(const std::string& source, const std::string& destination, bool replace) {
  if (replace && detail::itemExists(destination)) {
    if (auto removed = remove(destination); removed.isFailure()) return removed;
  }
  return detail::moveItem(source, destination);
}

Result<void> FS::remove(const URL& url) { return detail::removeItem(url.path()); }
Result<void> FS::remove(const std::string& path) { return detail::removeItem(path); }

Result<void> FS::deleteToTrash(const URL& url, bool playSound) {
  auto trashed = DesktopFiles::shared()->moveToTrash(url.path());
  if (trashed.isSuccess() && playSound) detail::playTrashSound();
  return trashed;
}
Result<void> FS::deleteToTrash(const std::vector<URL>& urls, bool playSound) {
  std::optional<Error> first;
  for (const auto& url : urls) {
    auto trashed = DesktopFiles::shared()->moveToTrash(url.path());
    if (trashed.isFailure() && !first) first = trashed.error();
  }
  if (first) return *first;
  if (playSound) detail::playTrashSound();
  return {};
}
Result<void> FS::deleteToTrash(const std::string& path) {
  return deleteToTrash(URL::fileURL(path), true);
}

Result<std::vector<URL>> FS::contentOfDirectory(const URL& url, bool includingSubdirs) {
  if (includingSubdirs) return getFiles(url);
  return children(url);
}

Result<std::vector<URL>> FS::subDirectories(const URL& url) {
  auto listed = children(url);
  if (listed.isFailure()) return listed;
  std::vector<URL> folders;
  for (auto& child : listed.value()) {
    if (child.hasDirectoryPath()) folders.push_back(std::move(child));
  }
  return folders;
}

void FS::showInFinder(const std::optional<URL>& url) {
  if (url) showInFinder(url, !FSUrlFileInfo(FSurl(*url)).isDirectory());
}
void FS::showInFinder(const std::optional<std::string>& path) {
  if (path) showInFinder(path, !detail::folderExists(*path));
}
void FS::showInFinder(const std::optional<URL>& url, bool selectLastComponent) {
  if (url) showInFinder(std::optional<std::string>(url->path()), selectLastComponent);
}
void FS::showInFinder(const std::optional<std::string>& path, bool selectLastComponent) {
  if (!path) return;
  if (selectLastComponent) {
    ignore(Workspace::shared()->reveal({*path}));
  } else {
    ignore(Workspace::shared()->openFolder(*path));
  }
}

void FS::openWithAssociatedApp(const std::optional<URL>& url) {
  if (url) ignore(Workspace::shared()->open(URL::fileURL(url->path())));
}
void FS::openWithAssociatedApp(const std::string& path) {
  ignore(Workspace::shared()->open(URL::fileURL(path)));
}

void FS::openUrlWithApp(const URL& url, const URL& appUrl) {
  openUrlWithApp(std::vector<URL>{url}, appUrl);
}
void FS::openUrlWithApp(const std::vector<URL>& urls, const URL& appUrl) {
  ignore(Workspace::shared()->openWith(appUrl.path(), urls));
}

void FS::openTerminal(const std::optional<URL>& folder) {
  if (folder) ignore(Workspace::shared()->openTerminal(folder->path()));
}

void FS::openGetInfoWnd(const URL& url) { openGetInfoWnd(std::vector<URL>{url}); }
void FS::openGetInfoWnd(const std::vector<URL>& urls) {
  ignore(Workspace::shared()->showProperties(pathsOf(urls)));
}

// ---- FSurl ----

bool FSurl::exist() const { return FS::exist(std::optional<URL>(url_)); }

FSurl& FSurl::makeSureDirExist() {
  std::error_code ignored;
  std::filesystem::create_directories(url_.path(), ignored);
  return *this;
}

Result<void> FSurl::remove() const {
  if (FS::remove(url_).isFailure()) return WTF("failed to delete file with url: " + url_.path(), 0);
  return {};
}

Result<void> FSurl::deleteToTrash(bool playSound) const {
  return FS::deleteToTrash(url_, playSound);
}
void FSurl::showInFinder() const { FS::showInFinder(std::optional<URL>(url_)); }
void FSurl::showInFinder(bool selectLastComponent) const {
  FS::showInFinder(std::optional<URL>(url_), selectLastComponent);
}
void FSurl::openWithAssociatedApp() const { FS::openWithAssociatedApp(std::optional<URL>(url_)); }
void FSurl::openUrlWithApp(const URL& appUrl) const { FS::openUrlWithApp(url_, appUrl); }
void FSurl::openTerminalAt() const { FS::openTerminal(std::optional<URL>(url_)); }
Result<std::vector<URL>> FSurl::contentOfDirectory(bool includingSubdirs) const {
  return FS::contentOfDirectory(url_, includingSubdirs);
}
FSUrlFileInfo FSurl::info() const { return FSUrlFileInfo(*this); }

// ---- FSstr ----

bool FSstr::exist() const { return FS::exist(std::optional<std::string>(path_)); }
Result<void> FSstr::remove() const { return FS::remove(path_); }
Result<void> FSstr::remove(const std::string& path) const { return FS::remove(path); }
Result<void> FSstr::deleteToTrash() const { return FS::deleteToTrash(path_); }
void FSstr::showInFinder() const { FS::showInFinder(std::optional<std::string>(path_)); }
void FSstr::showInFinder(bool selectLastComponent) const {
  FS::showInFinder(std::optional<std::string>(path_), selectLastComponent);
}
void FSstr::openWithAssociatedApp() const {
  FS::openWithAssociatedApp(std::optional<URL>(URL::fileURL(path_)));
}
void FSstr::openUrlWithApp(const URL& appUrl) const {
  FS::openUrlWithApp(URL::fileURL(path_), appUrl);
}
void FSstr::openTerminalAt() const {
  FS::openTerminal(std::optional<URL>(URL::fileURL(path_, true)));
}
FSFileInfo FSstr::info() const { return FSFileInfo(*this); }

}  // namespace mornik
