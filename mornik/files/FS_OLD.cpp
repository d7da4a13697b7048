#include "mornik/files/FS_OLD.hpp"

#include <filesystem>
#include <sstream>
#include <system_error>

#include "mornik/base/Output.hpp"
#include "mornik/files/FS.hpp"
#include "mornik/files/detail/Items.hpp"
#include "mornik/platform/DesktopFiles.hpp"
#include "mornik/settings/AppIdentity.hpp"

namespace mornik {

namespace {

std::string printed(const Error& error) {
  std::ostringstream out;
  out << error;
  return out.str();
}

}  // namespace

URL FS_OLD::applicationSupportFolderURL(SearchDomain domain) {
  auto folder = FSApp::applicationSupportFolderURL(domain);
  if (folder.isSuccess()) return folder.value();
  printLine("can't create the application folder: " + folder.error().localizedDescription());
  return URL::fileURL(
      (std::filesystem::path(FSApp::appSupportRoot(domain).path()) / AppIdentity::identifier())
          .string(),
      true);
}

bool FS_OLD::exist(const URL& url) { return detail::itemExists(url.path()); }
bool FS_OLD::exist(const std::string& path) { return detail::itemExists(path); }

Result<void> FS_OLD::mkdir(const std::string& path) {
  std::optional<Error> failure;
  if (detail::itemExists(path)) {
    failure = WTF("Dir already exist: " + path, 0);
  } else {
    std::error_code error;
    std::filesystem::create_directories(path, error);
    if (error) failure = Error::fromErrorCode(error, "create " + path);
  }
  if (!failure) return {};
  printLine("Can't create dir at path : " + path + ". \nError: " + failure->localizedDescription());
  return *failure;
}

bool FS_OLD::move(const std::string& source, const std::string& destination, bool force) {
  if (force && detail::itemExists(destination)) {
    static_cast<void>(detail::removeItem(destination));
  }
  return detail::moveItem(source, destination).isSuccess();
}

bool FS_OLD::move(const URL& from, const URL& to, bool force) {
  if (!detail::itemExists(from.path())) return false;
  if (force) static_cast<void>(detail::removeItem(to.path()));
  return detail::moveItem(from.path(), to.path()).isSuccess();
}

void FS_OLD::remove(const URL& url, bool silent) { remove(url.path(), silent); }
void FS_OLD::remove(const std::string& path, bool silent) {
  if (!silent) printLine("FS: going to delete file: " + path);
  auto removed = detail::removeItem(path);
  if (removed.isFailure() && !silent) {
    printLine("FS: cant delete " + path);
    printLine(printed(removed.error()));
  }
}

void FS_OLD::deleteNew(const URL& url) {
  auto removed = detail::removeItem(url.path());
  if (removed.isFailure()) throw removed.error();
}

void FS_OLD::deleteToTrash(const URL& url, bool silent) { deleteToTrash(url.path(), silent); }
void FS_OLD::deleteToTrash(const std::string& path, bool silent) {
  if (!silent) printLine("FS: going to move to trash : " + path);
  auto trashed = DesktopFiles::shared()->moveToTrash(path);
  if (trashed.isFailure() && !silent) {
    printLine("FS: cant delete " + path);
    printLine(printed(trashed.error()));
  }
}

void FS_OLD::deleteFilesWith(const std::string& prefix, const std::optional<URL>& at) {
  const URL folder = at ? *at : applicationSupportFolderURL(SearchDomain::user);
  for (const auto& item : getFiles(folder)) {
    const std::string path = item.path();
    if (std::filesystem::path(path).filename().string().starts_with(prefix)) remove(path, false);
  }
}

void FS_OLD::showInFinder(const URL& url) {
  FS::showInFinder(std::optional<URL>(url), !detail::folderExists(url.path()));
}
void FS_OLD::showInFinderAndSelectLastComponent(const URL& url) {
  FS::showInFinder(std::optional<URL>(url), true);
}
void FS_OLD::openWithAssociatedApp(const URL& url) {
  FS::openWithAssociatedApp(std::optional<URL>(url));
}
void FS_OLD::openWithAssociatedApp(const std::string& path) { FS::openWithAssociatedApp(path); }

std::vector<URL> FS_OLD::contentOfDirectory(const URL& url, bool /*withSubdirs*/) {
  std::error_code error;
  std::vector<URL> out;
  // A failed step (a sub-folder that cannot be read) ends the walk with
  // `error` set; the list so far is not the folder's content.
  for (std::filesystem::recursive_directory_iterator walk(url.path(), error);
       !error && walk != std::filesystem::recursive_directory_iterator(); walk.increment(error)) {
    out.push_back(URL::fileURL(walk->path().string()));
  }
  if (error) {
    printLine("Can't get dirs from: " + url.path());
    return {};
  }
  return out;
}

std::vector<URL> FS_OLD::subDirectories(const URL& url) {
  return FS::subDirectories(url).valueOr(std::vector<URL>{});
}

}  // namespace mornik
