#pragma once

#include <optional>
#include <string>
#include <vector>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/platform/DesktopFiles.hpp"
#include "mornik/text/URL.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

class FSFileInfo;
class FSUrlFileInfo;

// Everyday file-system work in one vocabulary: existence, folders, copy,
// move, delete, the trash, listings, and asking the desktop to reveal, open
// or describe items.
//
//   auto done = mornik::FS::copy("/home/me/a.txt", "/home/me/b.txt", /*replace=*/true);
//   auto items = mornik::FS::contentOfDirectory(mornik::asURLdir("/home/me"), false);
//   mornik::FS::showInFinder(mornik::asURL("/home/me/a.txt"));   // file manager, selected
//
// Errors: copy, move, delete, trash and listing failures are the system's
// own, untouched: domain POSIX with the errno as code (the description names
// the operation and path: "copy /a to /b: File exists"), or GIO's error for
// the trash (platform/DesktopFiles.hpp). The library's own messages, all
// with code 0 in domain FTW: "Dir already exist: <path>",
// "Can't create dir at path : <path>. \nError: <system text>",
// "failed to delete file with url: <path>".
//
// Copy and move never leave a half-done state: a copy that fails removes
// what it had written at the destination; a move across file systems copies
// and then removes the source, and on a failed copy removes the partial
// destination and leaves the source as it was. Without `replace`, an
// existing destination fails with EEXIST and is not touched; with it, the
// destination is deleted first, and a failed deletion stops the operation
// before the source is touched.
//
// The desktop requests (reveal, open, terminal, properties) go through the
// shared Workspace (platform/Workspace.hpp); their outcomes are not reported.
// Moving to the trash plays the sound theme's "trash-empty" sound when
// asked and it is installed.
//
// An absent optional URL or path makes an operation do nothing (`exist`
// answers false). Nothing is cached. Deleting is `remove` (`delete` is a
// C++ keyword).
//
// Thread safety: every operation may be called from any thread; each runs on
// the caller's thread.
class FS {
 public:
  FS() = delete;

  // The process-wide file service that FS itself uses for what the file
  // system alone cannot answer (the trash, content types, icons,
  // thumbnails): DesktopFiles::shared(), so a fake installed there is what
  // every file operation sees.
  static std::shared_ptr<DesktopFiles> fmDefault();

  static bool exist(const std::optional<URL>& url);
  static bool exist(const std::optional<std::string>& path);

  // Creates the folder and its missing parents; fails when anything is
  // already there (see the messages above).
  static Result<void> mkdir(const URL& url);
  static Result<void> mkdir(const std::string& path);

  // Copies a file, or a folder with everything in it (links stay links).
  // Uses copy_file_range (which reflinks where the file system can) and
  // keeps the permission bits.
  static Result<void> copy(const URL& source, const URL& destination, bool replace);
  static Result<void> copy(const std::string& source, const std::string& destination, bool replace);
  // Renames; across file systems, copies and then deletes the source.
  static Result<void> move(const URL& source, const URL& destination, bool replace);
  static Result<void> move(const std::string& source, const std::string& destination, bool replace);

  // Removes a file, link or whole folder tree; a missing item is ENOENT.
  static Result<void> remove(const URL& url);
  static Result<void> remove(const std::string& path);

  // Moves the item(s) to the trash. A list is attempted item by item in
  // order, also after a failure; the first failure is returned and then no
  // sound plays. The path form always plays the sound on success.
  static Result<void> deleteToTrash(const URL& url, bool playSound);
  static Result<void> deleteToTrash(const std::vector<URL>& urls, bool playSound);
  static Result<void> deleteToTrash(const std::string& path);

  // The folder's direct children without hidden ones, folders as directory
  // URLs; with `includingSubdirs`, getFiles(url) (never fails). Hidden is
  // what the Linux file manager hides (so a listing matches what the user
  // sees there), which FSUrlFileInfo::isHidden answers too: dot names,
  // backups ("notes~") and the names listed in the folder's ".hidden" file.
  static Result<std::vector<URL>> contentOfDirectory(const URL& url, bool includingSubdirs);
  // The direct children that are folders, hidden ones left out.
  static Result<std::vector<URL>> subDirectories(const URL& url);

  // Reveals the item selected in the file manager (`selectLastComponent`),
  // or opens the file manager at the item itself. Without the flag, files
  // (and missing paths) are selected and folders opened.
  static void showInFinder(const std::optional<URL>& url);
  static void showInFinder(const std::optional<std::string>& path);
  static void showInFinder(const std::optional<URL>& url, bool selectLastComponent);
  static void showInFinder(const std::optional<std::string>& path, bool selectLastComponent);
  // Opens the item with its default application.
  static void openWithAssociatedApp(const std::optional<URL>& url);
  static void openWithAssociatedApp(const std::string& path);
  // Opens the items with the application at `appUrl` (a .desktop file or a
  // program), all in one start.
  static void openUrlWithApp(const URL& url, const URL& appUrl);
  static void openUrlWithApp(const std::vector<URL>& urls, const URL& appUrl);
  // Starts a terminal in the folder (nothing when there is no terminal).
  static void openTerminal(const std::optional<URL>& folder);
  // Opens the file manager's properties window of the items.
  static void openGetInfoWnd(const URL& url);
  static void openGetInfoWnd(const std::vector<URL>& urls);
};

// Every file and folder below the folder, hidden ones included, in
// depth-first order (a folder before its contents), skipping ".DS_Store".
// `url` may be a link to a folder (listed under the link's path); links
// below it are listed, never entered, so a link cycle cannot trap the walk.
// Empty when `url` is not an existing folder; unreadable sub-folders are
// skipped.
std::vector<URL> getFiles(const URL& url);

// FS's operations on one URL.
//
// Thread safety: an immutable value; the operations as FS's.
class FSurl {
 public:
  explicit FSurl(URL url) : url_(std::move(url)) {}
  const URL& url() const { return url_; }

  bool exist() const;
  // Creates the folder with its parents, ignoring every error.
  FSurl& makeSureDirExist();
  // FS::remove, its failure replaced by "failed to delete file with url: <path>".
  Result<void> remove() const;
  Result<void> deleteToTrash(bool playSound) const;
  void showInFinder() const;
  void showInFinder(bool selectLastComponent) const;
  void openWithAssociatedApp() const;
  void openUrlWithApp(const URL& appUrl) const;
  void openTerminalAt() const;
  Result<std::vector<URL>> contentOfDirectory(bool includingSubdirs) const;
  FSUrlFileInfo info() const;

 private:
  URL url_;
};

// FS's operations on one path.
//
// Thread safety: an immutable value; the operations as FS's.
class FSstr {
 public:
  explicit FSstr(std::string path) : path_(std::move(path)) {}
  const std::string& path() const { return path_; }

  bool exist() const;
  Result<void> remove() const;
  // Removes `path` (not the wrapped one).
  Result<void> remove(const std::string& path) const;
  // Always plays the sound on success.
  Result<void> deleteToTrash() const;
  void showInFinder() const;
  void showInFinder(bool selectLastComponent) const;
  void openWithAssociatedApp() const;
  void openUrlWithApp(const URL& appUrl) const;
  void openTerminalAt() const;
  FSFileInfo info() const;

 private:
  std::string path_;
};

// `URL.FS` and `String.FS`: a new wrapper each time.
inline FSurl fs(const URL& url) { return FSurl(url); }
inline FSstr fs(const std::string& path) { return FSstr(path); }

}  // namespace mornik

MORNIK_EXPORTS_END
