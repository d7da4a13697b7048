#include "mornik/files/FSApp.hpp"

#include <filesystem>
#include <system_error>

#include "mornik/files/FS.hpp"
#include "mornik/files/detail/Items.hpp"
#include "mornik/settings/AppIdentity.hpp"

namespace mornik {

namespace {

std::filesystem::path rootOf(SearchDomain domain) {
  switch (domain) {
    case SearchDomain::local:
    case SearchDomain::network:
      return "/usr/local/share";
    case SearchDomain::system:
      return "/usr/share";
    case SearchDomain::user:
    case SearchDomain::all:
      break;
  }
  return AppIdentity::dataHome();
}

Error noIdentifier() {
  return WTF("[Bundle.main.bundleIdentifier is nil] nil for optional value of type <String>", 0);
}

}  // namespace

std::shared_ptr<DesktopFiles> FSApp::fmDefault() { return FS::fmDefault(); }

URL FSApp::home() { return URL::fileURL(AppIdentity::homeFolder().string(), true); }

std::optional<URL> FSApp::executableUrl() {
  std::filesystem::path executable = AppIdentity::executablePath();
  if (executable.empty()) return std::nullopt;
  for (int i = 0; i < 3 && executable.has_relative_path(); ++i) {
    executable = executable.parent_path();
  }
  return URL::fileURL(executable.string(), true);
}

Result<URL> FSApp::applicationSupportFolderURL(SearchDomain domain) {
  const std::string identifier = AppIdentity::identifier();
  if (identifier.empty()) return noIdentifier();
  const auto folder = rootOf(domain) / identifier;
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) return Error::fromErrorCode(error, "create " + folder.string());
  return URL::fileURL(folder.string(), true);
}

URL FSApp::appFolder() {
  auto folder = applicationSupportFolderURL(SearchDomain::user);
  if (folder.isSuccess()) return folder.value();
  const std::string identifier = AppIdentity::identifier();
  return URL::fileURL((AppIdentity::dataHome() / identifier).string(), true);
}

std::string FSApp::applicationSupportFolder() { return appFolder().absoluteString(); }

URL FSApp::urlFor(const std::string& file) {
  return URL::fileURL((std::filesystem::path(appFolder().path()) / file).string());
}

std::optional<std::string> FSApp::resourcePath(const std::string& name, const std::string& ext) {
  const auto found = AppIdentity::resource(name, ext);
  if (!found) return std::nullopt;
  return found->string();
}

std::optional<URL> FSApp::resourceURL(const std::string& name, const std::string& ext) {
  const auto found = AppIdentity::resource(name, ext);
  if (!found) return std::nullopt;
  return URL::fileURL(found->string());
}

URL FSApp::appSupportRoot(SearchDomain domain) {
  return URL::fileURL(rootOf(domain).string(), true);
}

Result<void> FSApp::deleteFilesWith(const std::string& prefix, const std::optional<URL>& at) {
  URL folder = URL::fileURL("/");
  if (at) {
    folder = *at;
  } else {
    auto own = applicationSupportFolderURL(SearchDomain::user);
    if (own.isFailure()) return own.error();
    folder = own.value();
  }
  std::optional<Error> first;
  for (const auto& item : getFiles(folder)) {
    const std::string path = item.path();
    const std::string name = std::filesystem::path(path).filename().string();
    if (!name.starts_with(prefix)) continue;
    if (detail::removeItem(path).isFailure() && !first) {
      first = WTF("failed to delete file with url: " + path, 0);
    }
  }
  if (first) return *first;
  return {};
}

}  // namespace mornik
