#pragma once

#include <optional>
#include <string>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/files/FS.hpp"
#include "mornik/text/URL.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// The places where the search for standard folders looks.
//
// On this system, after the XDG base-directory rules, the application-
// support folder of each domain is:
//   user     $XDG_DATA_HOME (default ~/.local/share)
//   local    /usr/local/share
//   network  /usr/local/share (no network-wide data folder exists here)
//   system   /usr/share
//   all      the user's, as for user
enum class SearchDomain { user, local, network, system, all };

// Where the application keeps its files: the home folder, the application
// itself, its resources, and its own folder in the application-support
// folder, named after the application identifier
// (settings/AppIdentity.hpp): for the user domain
// $XDG_DATA_HOME/<identifier>.
//
//   auto folder = mornik::FSApp::applicationSupportFolderURL(mornik::SearchDomain::user);
//   // file:///home/me/.local/share/org.example.Notes/
//
// Without an identifier (none set and the executable unknown), the folder
// operations fail with "[Bundle.main.bundleIdentifier is nil] nil for
// optional value of type <String>" (code 0); appFolder() and the others
// without a failure channel then answer the application-support folder
// itself, without creating anything, and deleteFilesWith() without a folder
// returns that failure.
//
// Thread safety: stateless; every operation may be called from any thread.
class FSApp {
 public:
  FSApp() = delete;

  // The shared file service, as FS::fmDefault().
  static std::shared_ptr<DesktopFiles> fmDefault();

  // The user's home folder, as a folder URL.
  static URL home();
  // The executable's path with its last three components removed (for an
  // executable in <prefix>/<app>/bin/<name>, <prefix>; for an application
  // laid out as Name.app/Contents/MacOS/Name, Name.app); absent when the
  // executable is unknown.
  static std::optional<URL> executableUrl();
  // The application's folder in the domain, created with its parents.
  static Result<URL> applicationSupportFolderURL(SearchDomain domain);
  static URL appFolder();
  // appFolder()'s URL text ("file:///home/me/.local/share/org.example.Notes/").
  static std::string applicationSupportFolder();
  static URL urlFor(const std::string& file);
  // The application's resource file (AppIdentity::resource); absent when
  // there is none.
  static std::optional<std::string> resourcePath(const std::string& name, const std::string& ext);
  static std::optional<URL> resourceURL(const std::string& name, const std::string& ext);
  // The domain's application-support folder, not created.
  static URL appSupportRoot(SearchDomain domain);
  // Removes every item below `at` (default: appFolder()) whose name starts
  // with `prefix`, in getFiles() order; every item is attempted; the first
  // failure, as "failed to delete file with url: <path>", is returned.
  static Result<void> deleteFilesWith(const std::string& prefix,
                                      const std::optional<URL>& at = std::nullopt);
};

}  // namespace mornik

MORNIK_EXPORTS_END
