#include "mornik/desktop/WebBrowser.hpp"

#include <algorithm>

#include "mornik/desktop/MacApp.hpp"
#include "mornik/flow/pool/Identities.hpp"
#include "mornik/flow/pool/Pool.hpp"
#include "mornik/platform/Workspace.hpp"

namespace mornik {

namespace {

std::shared_ptr<Flow::Pool> defaultPool() { return Flow::PoolID{"WebBrowser"}.pool(); }

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
  for (const AppEntry& entry : Workspace::shared()->applicationsFor("x-scheme-handler/https")) {
    if (entry.path.string().find("/applications/") == std::string::npos) continue;
    browsers.emplace_back(URL::fileURL(entry.path.string()));
  }
  return browsers;
}

std::vector<WebBrowser> WebBrowser::filteredList() {
  std::vector<WebBrowser> browsers = list();
  std::erase_if(browsers,
                [](const WebBrowser& each) { return appsToFilter().contains(each.displayName()); });
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
