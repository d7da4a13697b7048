#include "mornik/platform/Workspace.hpp"

#include <cstdlib>
#include <utility>

#include "mornik/concurrency/LockingProtocol.hpp"
#include "mornik/platform/detail/AdapterSlot.hpp"
#include "mornik/platform/detail/DesktopFactories.hpp"

namespace mornik {

namespace {

// Without the desktop library: every request fails with the reason.
class UnavailableWorkspace final : public Workspace {
 public:
  // NOLINTNEXTLINE(bugprone-throw-keyword-missing): kept to be returned, not thrown
  explicit UnavailableWorkspace(Error why) : why_(std::move(why)) {}

  std::string contentTypeOf(const std::filesystem::path& /*file*/) const override {
    return "application/octet-stream";
  }
  std::vector<AppEntry> applicationsFor(std::string_view /*contentType*/) override { return {}; }
  Result<AppEntry> application(const std::filesystem::path& /*desktopFile*/) override {
    return why_;
  }
  Result<void> open(const URL& /*item*/) override { return why_; }
  Result<void> openWith(const std::filesystem::path& /*application*/,
                        const std::vector<URL>& /*items*/) override {
    return why_;
  }
  Result<void> reveal(const std::vector<std::filesystem::path>& /*items*/) override { return why_; }
  Result<void> openFolder(const std::filesystem::path& /*folder*/) override { return why_; }
  Result<void> showProperties(const std::vector<std::filesystem::path>& /*items*/) override {
    return why_;
  }
  Result<void> openTerminal(const std::filesystem::path& /*folder*/) override { return why_; }

 private:
  const Error why_;
};

detail::AdapterSlot<Workspace>& slot() {
  static detail::AdapterSlot<Workspace> workspace(
      "the desktop workspace", [](const Error& why) -> std::shared_ptr<Workspace> {
        return std::make_shared<UnavailableWorkspace>(why);
      });
  return workspace;
}

std::string joined(std::string line, const std::vector<std::filesystem::path>& items) {
  for (const auto& item : items) line += " " + item.string();
  return line;
}

}  // namespace

void detail::setDesktopFactory(Result<std::shared_ptr<Workspace>> (*factory)()) {
  slot().setFactory(factory);
}

Sandbox detectSandbox(const std::filesystem::path& flatpakInfo) {
  std::error_code error;
  if (std::filesystem::exists(flatpakInfo, error)) return Sandbox::flatpak;
  const char* snap = std::getenv("SNAP");  // NOLINT(concurrency-mt-unsafe): read only
  if (snap != nullptr && *snap != '\0') return Sandbox::snap;
  return Sandbox::none;
}

Result<std::shared_ptr<Workspace>> Workspace::forDesktop() { return slot().forDesktop(); }
std::shared_ptr<Workspace> Workspace::shared() { return slot().get(); }
void Workspace::setShared(std::shared_ptr<Workspace> workspace) {
  slot().set(std::move(workspace));
}

// ---- MemoryWorkspace ----

std::string MemoryWorkspace::contentTypeOf(const std::filesystem::path& file) const {
  const std::string name = file.filename().string();
  detail::ScopedLock<UnfairLock> guard(lock_);
  for (const auto& [suffix, type] : types_) {
    if (name.ends_with(suffix)) return type;
  }
  return "application/octet-stream";
}

std::vector<AppEntry> MemoryWorkspace::applicationsFor(std::string_view contentType) {
  detail::ScopedLock<UnfairLock> guard(lock_);
  for (const auto& [type, apps] : apps_) {
    if (type == contentType) return apps;
  }
  return {};
}

Result<AppEntry> MemoryWorkspace::application(const std::filesystem::path& desktopFile) {
  detail::ScopedLock<UnfairLock> guard(lock_);
  for (const auto& [type, apps] : apps_) {
    for (const AppEntry& app : apps) {
      if (app.path == desktopFile) return app;
    }
  }
  return WTF("not an application: " + desktopFile.string(), 0);
}

Result<void> MemoryWorkspace::open(const URL& item) {
  return note("open " + item.absoluteString());
}

Result<void> MemoryWorkspace::openWith(const std::filesystem::path& application,
                                       const std::vector<URL>& items) {
  std::string line = "openWith " + application.string();
  for (const URL& item : items) line += " " + item.absoluteString();
  return note(std::move(line));
}

Result<void> MemoryWorkspace::reveal(const std::vector<std::filesystem::path>& items) {
  return note(joined("reveal", items));
}

Result<void> MemoryWorkspace::openFolder(const std::filesystem::path& folder) {
  return note("openFolder " + folder.string());
}

Result<void> MemoryWorkspace::showProperties(const std::vector<std::filesystem::path>& items) {
  return note(joined("properties", items));
}

Result<void> MemoryWorkspace::openTerminal(const std::filesystem::path& folder) {
  return note("terminal " + folder.string());
}

void MemoryWorkspace::setApplications(const std::string& contentType, std::vector<AppEntry> apps) {
  detail::ScopedLock<UnfairLock> guard(lock_);
  for (auto& [type, known] : apps_) {
    if (type == contentType) {
      known = std::move(apps);
      return;
    }
  }
  apps_.emplace_back(contentType, std::move(apps));
}

void MemoryWorkspace::setContentType(const std::string& suffix, const std::string& type) {
  detail::ScopedLock<UnfairLock> guard(lock_);
  types_.emplace_back(suffix, type);
}

void MemoryWorkspace::setOutcome(Result<void> outcome) {
  detail::ScopedLock<UnfairLock> guard(lock_);
  outcome_ = std::move(outcome);
}

std::vector<std::string> MemoryWorkspace::requests() const {
  detail::ScopedLock<UnfairLock> guard(lock_);
  return requests_;
}

Result<void> MemoryWorkspace::note(std::string request) {
  detail::ScopedLock<UnfairLock> guard(lock_);
  requests_.push_back(std::move(request));
  return outcome_;
}

}  // namespace mornik
