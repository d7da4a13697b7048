#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "mornik/base/Export.hpp"
#include "mornik/text/Bytes.hpp"
#include "mornik/text/URL.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// A kept way back to a file the user chose: its URL and the bookmark's
// bytes. On this desktop a path is enough to reach a file again, so the
// library stores and resolves nothing: these are the place-holders an
// application calls at the points where it would.
//
// Thread safety: a value type; allBookmarks is a plain process-wide list
// without a lock (read and written by the application's main thread).
struct AccessBookmark {
  URL url;
  Data data;

  // "AccessBookmark: " + url's path.
  std::string description() const;

  // The bookmarked URLs of this run; empty at start.
  static std::vector<URL>
      allBookmarks;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

  // The bookmarks file: "Bookmarks.dict" in the user's documents folder
  // ($XDG_DOCUMENTS_DIR, else its entry in $XDG_CONFIG_HOME/user-dirs.dirs,
  // else ~/Documents).
  static URL bookmarksFileUrl();
  // Logs "going to load <bookmarks file URL>" titled "AccessBookmark";
  // reads nothing.
  static void loadAndResolve();
  // Makes the documents folder when no bookmarks file exists yet; stores
  // nothing.
  static void append(const URL& url);
};

// The user's documents folder (see AccessBookmark::bookmarksFileUrl).
std::filesystem::path userDocumentsFolder();

}  // namespace mornik

MORNIK_EXPORTS_END
