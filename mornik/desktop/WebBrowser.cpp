#include "mornik/desktop/WebBrowser.hpp"

#include <string_view>
#include <utility>

#include "mornik/desktop/MacApp.hpp"
#include "mornik/flow/pool/Identities.hpp"
#include "mornik/flow/pool/Pool.hpp"
#include "mornik/platform/Workspace.hpp"

namespace mornik {

namespace {

std::shared_ptr<Flow::Pool> defaultPool() { return Flow::PoolID{"WebBrowser"}.pool(); }

// The applications of the https scheme that live in an applications folder.
std::vector<AppEntry> browserEntries() {
  std::vector<AppEntry> entries = Workspace::shared()->applicationsFor("x-scheme-handler/https");
  std::erase_if(entries, [](const AppEntry& entry) {
    return entry.path.string().find("/applications/") == std::string::npos;
  });
  return entries;
}

// The desktop file ID without ".desktop"; the file's stem when the
// database gave no ID.
std::string fileID(const AppEntry& entry) {
  constexpr std::string_view suffix = ".desktop";
  std::string id = entry.id.empty() ? entry.path.filename().string() : entry.id;
  if (id.ends_with(suffix)) id.resize(id.size() - suffix.size());
  return id;
}

}  // namespace

WebBrowser::WebBrowser(URL appURL) : WebBrowser(defaultPool(), std::move(appURL)) {}

WebBrowser::WebBrowser(std::shared_ptr<Flow::Pool> pool, URL appURL)
    : pool(std::move(pool)), appURL(std::move(appURL)) {}

std::string WebBrowser::displayName() const { return MacApp{appURL, appURL}.displayName(); }

std::string WebBrowser::icon() const { return MacApp{appURL, appURL}.icon(); }

std::shared_ptr<Flow::Future<void>> WebBrowser::open(const URL& url) const {
  return pool->promise<void>([app = appURL, url](const std::shared_ptr<Flow::Future<void>>& self) {
    self->complete(Workspace::shared()->openWith(app.path(), {url}));
  });
}

std::shared_ptr<Flow::Future<void>> WebBrowser::open(std::string_view url) const {
  std::optional<URL> parsed = URL::parse(url);
  if (!parsed)
    return Flow::Future<void>::failed(WTF("can't convert to URL: " + std::string(url), 0));
  return open(*parsed);
}

std::vector<WebBrowser> WebBrowser::list() {
  std::vector<WebBrowser> browsers;
  for (const AppEntry& entry : browserEntries()) {
    browsers.emplace_back(URL::fileURL(entry.path.string()));
  }
  return browsers;
}

std::vector<WebBrowser> WebBrowser::filteredList() {
  const std::set<std::string>& names = appsToFilter();
  std::vector<WebBrowser> browsers;
  for (const AppEntry& entry : browserEntries()) {
    WebBrowser browser(URL::fileURL(entry.path.string()));
    if (names.contains(browser.displayName()) || names.contains(fileID(entry))) continue;
    browsers.push_back(std::move(browser));
  }
  return browsers;
}

WebBrowser WebBrowser::main() {
  std::vector<WebBrowser> browsers = list();
  return browsers.empty() ? WebBrowser(fallbackURL()) : browsers.front();
}

const std::set<std::string>& WebBrowser::appsToFilter() {
  static const std::set<std::string> names{"Downie", "Pulltube", "Movist Pro", "Folx", "mpv"};
  return names;
}

URL WebBrowser::fallbackURL() { return URL::fileURL("/usr/bin/x-www-browser"); }

}  // namespace mornik
