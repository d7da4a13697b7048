#pragma once

#include <optional>
#include <string>
#include <vector>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/files/FSApp.hpp"
#include "mornik/text/URL.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// The library's earlier forms of FS and FSApp, kept for callers that use
// them. They differ from the current forms in how they report: several
// print to the library's output (base/Output.hpp) and answer a flag, a
// plain list or nothing.
//
//   mornik::FS_OLD::remove(mornik::asURL("/tmp/x"), /*silent=*/false);
//   // prints "FS: going to delete file: /tmp/x"
//
// Thread safety: stateless; every operation may be called from any thread.
class FS_OLD {  // NOLINT(readability-identifier-naming): the earlier name, kept
 public:
  FS_OLD() = delete;

  static URL home() { return FSApp::home(); }
  static URL urlFor(const std::string& file) { return FSApp::urlFor(file); }
  static std::optional<std::string> resourcePath(const std::string& name, const std::string& ext) {
    return FSApp::resourcePath(name, ext);
  }
  static std::optional<URL> resourceURL(const std::string& name, const std::string& ext) {
    return FSApp::resourceURL(name, ext);
  }
  static URL appSupportRoot(SearchDomain domain) { return FSApp::appSupportRoot(domain); }
  // The application folder; when it cannot be made, prints why and answers
  // its URL anyway.
  static URL applicationSupportFolderURL(SearchDomain domain);
  static URL appFolder() { return applicationSupportFolderURL(SearchDomain::user); }
  static std::string applicationSupportFolder() { return appFolder().absoluteString(); }

  static bool exist(const URL& url);
  static bool exist(const std::string& path);
  // FS::mkdir, printing "Can't create dir at path : <path>. \nError: <why>"
  // on failure (why: "Dir already exist: <path>" or the system's text); the
  // failure is the underlying error itself.
  static Result<void> mkdir(const std::string& path);
  // With `force`, whatever is at the destination is removed first (a failed
  // removal is ignored). False when the move fails.
  static bool move(const std::string& source, const std::string& destination, bool force);
  // False at once when the source does not exist.
  static bool move(const URL& from, const URL& to, bool force);
  // Unless `silent`, prints "FS: going to delete file: <path>" before and,
  // on failure, "FS: cant delete <path>" and the error on the next line.
  static void remove(const URL& url, bool silent);
  static void remove(const std::string& path, bool silent);
  // Removes the item; throws the system's Error on failure.
  static void deleteNew(const URL& url);
  // Unless `silent`, prints "FS: going to move to trash : <path>" before
  // and, on failure, "FS: cant delete <path>" and the error. No sound.
  static void deleteToTrash(const URL& url, bool silent);
  static void deleteToTrash(const std::string& path, bool silent);
  // Removes (not silently) every item below `at` whose name starts with the
  // prefix.
  static void deleteFilesWith(const std::string& prefix,
                              const std::optional<URL>& at = std::nullopt);
  // Selects the item in the file manager, unless it is an existing folder,
  // which is opened.
  static void showInFinder(const URL& url);
  static void showInFinderAndSelectLastComponent(const URL& url);
  static void openWithAssociatedApp(const URL& url);
  static void openWithAssociatedApp(const std::string& path);
  // Every path below the folder, whatever `withSubdirs` says; on failure
  // prints "Can't get dirs from: <path>" and answers an empty list.
  static std::vector<URL> contentOfDirectory(const URL& url, bool withSubdirs);
  // FS::subDirectories, empty on failure.
  static std::vector<URL> subDirectories(const URL& url);
};

}  // namespace mornik

MORNIK_EXPORTS_END
