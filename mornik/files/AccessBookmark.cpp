#include "mornik/files/AccessBookmark.hpp"

#include <cstdlib>
#include <fstream>
#include <string_view>
#include <system_error>

#include "mornik/files/URLFiles.hpp"
#include "mornik/log/BasicLogger.hpp"
#include "mornik/settings/AppIdentity.hpp"

namespace mornik {

std::vector<URL>
    AccessBookmark::allBookmarks;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

namespace {

std::string fromEnvironment(const char* name) {
  const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): read only
  return value != nullptr ? value : "";
}

// XDG_DOCUMENTS_DIR="$HOME/Papers" in user-dirs.dirs, with $HOME expanded;
// empty when the file does not say.
std::string fromUserDirs() {
  std::ifstream file(AppIdentity::configHome() / "user-dirs.dirs");
  std::string line;
  constexpr std::string_view kKey = "XDG_DOCUMENTS_DIR=\"";
  while (std::getline(file, line)) {
    if (line.rfind(kKey, 0) != 0 || line.size() < kKey.size() + 1 || line.back() != '"') continue;
    std::string value = line.substr(kKey.size(), line.size() - kKey.size() - 1);
    if (value.rfind("$HOME", 0) == 0) value = AppIdentity::homeFolder().string() + value.substr(5);
    if (!value.empty() && value[0] == '/') return value;
  }
  return {};
}

}  // namespace

std::filesystem::path userDocumentsFolder() {
  std::string folder = fromEnvironment("XDG_DOCUMENTS_DIR");
  if (folder.empty() || folder[0] != '/') folder = fromUserDirs();
  if (folder.empty()) return AppIdentity::homeFolder() / "Documents";
  return folder;
}

std::string AccessBookmark::description() const { return "AccessBookmark: " + url.path(); }

URL AccessBookmark::bookmarksFileUrl() {
  return URL::fileURL((userDocumentsFolder() / "Bookmarks.dict").string());
}

void AccessBookmark::loadAndResolve() {
  BasicLogger::log("AccessBookmark", "going to load " + bookmarksFileUrl().absoluteString());
}

void AccessBookmark::append(const URL& /*url*/) {
  std::error_code missing;
  if (std::filesystem::exists(bookmarksFileUrl().path(), missing)) return;
  (void)mkdir(URL::fileURL(userDocumentsFolder().string(), true));
}

}  // namespace mornik
