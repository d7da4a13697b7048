#include "mornik/desktop/MacApp.hpp"

#include <filesystem>

#include "mornik/flow/pool/Identities.hpp"
#include "mornik/flow/pool/Pool.hpp"
#include "mornik/platform/Workspace.hpp"

namespace mornik {

std::string MacApp::displayName() const {
  const std::filesystem::path path = appURL.path();
  if (appURL != finderURL()) {
    if (auto entry = Workspace::shared()->application(path); entry.isSuccess()) {
      if (!entry.value().name.empty()) return entry.value().name;
    }
  }
  return path.stem().string();
}

std::string MacApp::icon() const {
  if (appURL == finderURL()) return "system-file-manager";
  auto entry = Workspace::shared()->application(appURL.path());
  return entry.isSuccess() ? entry.value().icon : std::string();
}

std::shared_ptr<Flow::Future<void>> MacApp::open() const {
  const std::shared_ptr<Flow::Pool> pool = Flow::PoolID{"MacApp"}.pool();
  auto future = pool->promise<void>([app = *this](const std::shared_ptr<Flow::Future<void>>& self) {
    const std::shared_ptr<Workspace> workspace = Workspace::shared();
    if (app.appURL == finderURL()) {
      self->complete(workspace->reveal({app.fileURL.path()}));
    } else {
      self->complete(workspace->openWith(app.appURL.path(), {app.fileURL}));
    }
  });
  future->failing(pool);  // starts it
  return future;
}

URL MacApp::finderURL() { return URL::fileURL("/org/freedesktop/FileManager1"); }

std::vector<MacApp> MacApp::list(const URL& fileURL, bool withFinder) {
  std::vector<MacApp> apps;
  if (withFinder) apps.push_back(MacApp{finderURL(), fileURL});
  const std::shared_ptr<Workspace> workspace = Workspace::shared();
  for (const AppEntry& entry :
       workspace->applicationsFor(workspace->contentTypeOf(fileURL.path()))) {
    if (!entry.path.empty()) apps.push_back(MacApp{URL::fileURL(entry.path.string()), fileURL});
  }
  return apps;
}

}  // namespace mornik
