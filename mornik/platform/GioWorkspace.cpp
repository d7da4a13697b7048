#include <cstdlib>
#include <optional>
#include <set>
#include <unordered_map>
#include <utility>

#include <fcntl.h>
#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <unistd.h>

#include "mornik/concurrency/LockedVar.hpp"
#include "mornik/platform/Workspace.hpp"
#include "mornik/platform/detail/DesktopFactories.hpp"
#include "mornik/platform/detail/Gio.hpp"
#include "mornik/platform/detail/Tools.hpp"

namespace mornik {

namespace {

constexpr const char* kFileManager = "org.freedesktop.FileManager1";
constexpr const char* kFileManagerPath = "/org/freedesktop/FileManager1";
constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kOpenURI = "org.freedesktop.portal.OpenURI";

// Takes a GError's message and frees it.
std::string takeMessage(GError*& error) {
  std::string message = error != nullptr ? error->message : "unknown error";
  g_clear_error(&error);
  return message;
}

std::string fileUri(const std::filesystem::path& path) {
  return URL::fileURL(std::filesystem::absolute(path).lexically_normal().string()).absoluteString();
}

AppEntry entryOf(GAppInfo* info) {
  AppEntry entry;
  if (const char* id = g_app_info_get_id(info)) entry.id = id;
  if (G_IS_DESKTOP_APP_INFO(info)) {
    if (const char* file = g_desktop_app_info_get_filename(G_DESKTOP_APP_INFO(info))) {
      entry.path = file;
    }
  }
  if (const char* name = g_app_info_get_name(info)) entry.name = name;
  if (GIcon* icon = g_app_info_get_icon(info)) {
    if (gchar* text = g_icon_to_string(icon)) {
      entry.icon = text;
      g_free(text);
    }
  }
  return entry;
}

// Launches on the GIO thread, whose main loop reaps the children.
Result<void> launchOnGioThread(GAppInfo* app, const std::vector<std::string>& uris) {
  Result<void> outcome;
  detail::runOnGioThread([&] {
    GList* list = nullptr;
    for (std::size_t i = uris.size(); i-- > 0;) {
      list = g_list_prepend(list, const_cast<char*>(uris[i].c_str()));
    }
    GAppLaunchContext* context = g_app_launch_context_new();
    GError* error = nullptr;
    if (!g_app_info_launch_uris(app, list, context, &error)) {
      outcome = WTF(std::string(g_app_info_get_name(app) != nullptr ? g_app_info_get_name(app)
                                                                    : "application") +
                        " could not be started: " + takeMessage(error),
                    0);
    }
    g_object_unref(context);
    g_list_free(list);
  });
  return outcome;
}

Result<void> launchDefault(const std::string& uri) {
  Result<void> outcome;
  detail::runOnGioThread([&] {
    GAppLaunchContext* context = g_app_launch_context_new();
    GError* error = nullptr;
    if (!g_app_info_launch_default_for_uri(uri.c_str(), context, &error)) {
      outcome = WTF("cannot open " + uri + ": " + takeMessage(error), 0);
    }
    g_object_unref(context);
  });
  return outcome;
}

// The application database, shared by both adapters, with a cache per
// content type that the database's change monitor invalidates.
class GioApplications : public Workspace {
 public:
  explicit GioApplications(Options options) : options_(options) {}

  std::string contentTypeOf(const std::filesystem::path& file) const override {
    std::string type;
    GFile* handle = g_file_new_for_path(file.c_str());
    GFileInfo* info = g_file_query_info(handle, G_FILE_ATTRIBUTE_STANDARD_CONTENT_TYPE,
                                        G_FILE_QUERY_INFO_NONE, nullptr, nullptr);
    if (info != nullptr) {
      if (const char* found = g_file_info_get_content_type(info)) type = found;
      g_object_unref(info);
    }
    g_object_unref(handle);
    if (type.empty()) {
      gchar* guessed = g_content_type_guess(file.filename().c_str(), nullptr, 0, nullptr);
      if (guessed != nullptr) type = guessed;
      g_free(guessed);
    }
    if (type.empty()) return "application/octet-stream";
    // GIO's own names on some systems are not MIME types; ask for the MIME form.
    if (gchar* mime = g_content_type_get_mime_type(type.c_str())) {
      type = mime;
      g_free(mime);
    }
    return type;
  }

  std::vector<AppEntry> applicationsFor(std::string_view contentType) override {
    const std::string type(contentType);
    // The generation is read before the database: a change while it is read
    // leaves an entry that the next lookup already sees as stale.
    const std::uint64_t generation = detail::applicationsGeneration();
    std::optional<std::vector<AppEntry>> cached =
        cache_.access([&](Cache& cache) -> std::optional<std::vector<AppEntry>> {
          auto found = cache.find(type);
          if (found == cache.end() || found->second.generation != generation) return std::nullopt;
          return found->second.apps;
        });
    if (cached) return std::move(*cached);
    std::vector<AppEntry> apps;
    // GIO lists the default among the others; it goes first here.
    if (GAppInfo* preferred = g_app_info_get_default_for_type(type.c_str(), FALSE)) {
      apps.push_back(entryOf(preferred));
      g_object_unref(preferred);
    }
    GList* all = g_app_info_get_all_for_type(type.c_str());
    for (GList* item = all; item != nullptr; item = item->next) {
      AppEntry entry = entryOf(G_APP_INFO(item->data));
      if (apps.empty() || entry.id != apps.front().id) apps.push_back(std::move(entry));
    }
    g_list_free_full(all, g_object_unref);
    cache_.access([&](Cache& cache) { cache[type] = CacheEntry{generation, apps}; });
    return apps;
  }

  Result<AppEntry> application(const std::filesystem::path& desktopFile) override {
    GDesktopAppInfo* info = g_desktop_app_info_new_from_filename(desktopFile.c_str());
    if (info == nullptr) return WTF("not an application: " + desktopFile.string(), 0);
    AppEntry entry = entryOf(G_APP_INFO(info));
    g_object_unref(info);
    return entry;
  }

 protected:
  const Options options_;

 private:
  struct CacheEntry {
    std::uint64_t generation = 0;
    std::vector<AppEntry> apps;
  };
  using Cache = std::unordered_map<std::string, CacheEntry>;
  LockedVar<Cache> cache_{Cache{}};
};

// ---- On the host ----

class DesktopWorkspace final : public GioApplications {
 public:
  using GioApplications::GioApplications;

  Result<void> open(const URL& item) override { return launchDefault(item.absoluteString()); }

  Result<void> openWith(const std::filesystem::path& application,
                        const std::vector<URL>& items) override {
    GAppInfo* app = nullptr;
    if (application.extension() == ".desktop") {
      app = G_APP_INFO(g_desktop_app_info_new_from_filename(application.c_str()));
      if (app == nullptr) return WTF("not an application: " + application.string(), 0);
    } else {
      if (!detail::findProgram(application.string())) {
        return WTF("not an application: " + application.string(), 0);
      }
      GError* error = nullptr;
      // Quoted, so that a path with blanks stays one word.
      gchar* quoted = g_shell_quote(application.c_str());
      app = g_app_info_create_from_commandline(quoted, nullptr, G_APP_INFO_CREATE_SUPPORTS_URIS,
                                               &error);
      g_free(quoted);
      if (app == nullptr) return WTF("not an application: " + takeMessage(error), 0);
    }
    std::vector<std::string> uris;
    uris.reserve(items.size());
    for (const URL& item : items) uris.push_back(item.absoluteString());
    Result<void> launched = launchOnGioThread(app, uris);
    g_object_unref(app);
    return launched;
  }

  Result<void> reveal(const std::vector<std::filesystem::path>& items) override {
    return fileManager("ShowItems", items, /*openParents=*/true);
  }
  Result<void> openFolder(const std::filesystem::path& folder) override {
    return fileManager("ShowFolders", {folder}, /*openParents=*/false);
  }
  Result<void> showProperties(const std::vector<std::filesystem::path>& items) override {
    return fileManager("ShowItemProperties", items, /*openParents=*/true);
  }

  Result<void> openTerminal(const std::filesystem::path& folder) override {
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error)) {
      return WTF("no such folder: " + folder.string(), 0);
    }
    std::optional<std::filesystem::path> terminal = detail::findProgram("x-terminal-emulator");
    if (!terminal) {
      const char* chosen = std::getenv("TERMINAL");  // NOLINT(concurrency-mt-unsafe): read only
      if (chosen != nullptr && *chosen != '\0') terminal = detail::findProgram(chosen);
    }
    if (!terminal) return WTF("no terminal emulator: neither x-terminal-emulator nor $TERMINAL", 0);
    return detail::startDetached({terminal->string()}, folder);
  }

 private:
  // Asks the file manager; when none is there, opens the folders
  // themselves (or the items' parents) with their default application.
  Result<void> fileManager(const char* method, const std::vector<std::filesystem::path>& items,
                           bool openParents) {
    if (items.empty()) return {};
    GVariantBuilder uris;
    g_variant_builder_init(&uris, G_VARIANT_TYPE("as"));
    for (const auto& item : items) g_variant_builder_add(&uris, "s", fileUri(item).c_str());
    Result<detail::VariantPtr> answer =
        detail::callSessionBus(kFileManager, kFileManagerPath, kFileManager, method,
                               g_variant_new("(ass)", &uris, ""), options_.busTimeoutMs);
    if (answer.isSuccess()) return {};
    const bool noFileManager =
        answer.error().code() == detail::kServiceMissingCode || !detail::sessionBusConfigured();
    if (!noFileManager) return answer.error();
    std::set<std::filesystem::path> folders;
    for (const auto& item : items) {
      const auto absolute = std::filesystem::absolute(item).lexically_normal();
      folders.insert(openParents ? absolute.parent_path() : absolute);
    }
    for (const auto& folder : folders) {
      if (Result<void> opened = launchDefault(fileUri(folder)); opened.isFailure()) return opened;
    }
    return {};
  }
};

// ---- Inside a sandbox ----

class SandboxedWorkspace final : public GioApplications {
 public:
  using GioApplications::GioApplications;

  Result<void> open(const URL& item) override { return portalOpen(item, false); }

  Result<void> openWith(const std::filesystem::path& /*application*/,
                        const std::vector<URL>& items) override {
    for (const URL& item : items) {
      if (Result<void> opened = portalOpen(item, true); opened.isFailure()) return opened;
    }
    return {};
  }

  Result<void> reveal(const std::vector<std::filesystem::path>& items) override {
    for (const auto& item : items) {
      if (auto shown = withFd(item, "OpenDirectory", false); shown.isFailure()) return shown;
    }
    return {};
  }
  Result<void> openFolder(const std::filesystem::path& folder) override {
    return withFd(folder, "OpenFile", false);
  }
  Result<void> showProperties(const std::vector<std::filesystem::path>& items) override {
    return reveal(items);
  }
  Result<void> openTerminal(const std::filesystem::path& /*folder*/) override {
    return WTF("a terminal cannot be opened from inside a sandbox", 0);
  }

 private:
  static GVariant* options(bool ask) {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
    if (ask) g_variant_builder_add(&builder, "{sv}", "ask", g_variant_new_boolean(TRUE));
    return g_variant_builder_end(&builder);
  }

  Result<void> portalOpen(const URL& item, bool ask) {
    if (item.isFileURL()) return withFd(item.path(), "OpenFile", ask);
    return detail::callSessionBus(
               kPortal, kPortalPath, kOpenURI, "OpenURI",
               g_variant_new("(ss@a{sv})", "", item.absoluteString().c_str(), options(ask)),
               options_.busTimeoutMs)
        .asVoid();
  }

  // The portal takes files as descriptors: it can see the file even where
  // the sandbox's path means nothing to the host.
  Result<void> withFd(const std::filesystem::path& path, const char* method, bool ask) {
    const int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0) return Error::fromErrno(errno, path.string());
    GUnixFDList* fds = g_unix_fd_list_new_from_array(&fd, 1);  // takes the descriptor
    auto answer = detail::callSessionBus(
        kPortal, kPortalPath, kOpenURI, method,
        g_variant_new("(sh@a{sv})", "", 0, options(ask && std::string(method) == "OpenFile")),
        options_.busTimeoutMs, fds);
    g_object_unref(fds);
    return answer.asVoid();
  }
};

}  // namespace

std::shared_ptr<Workspace> Workspace::makeDesktop(Options options) {
  return std::make_shared<DesktopWorkspace>(options);
}

std::shared_ptr<Workspace> Workspace::makeSandboxed(Options options) {
  return std::make_shared<SandboxedWorkspace>(options);
}

std::shared_ptr<Workspace> Workspace::make(Sandbox sandbox, Options options) {
  return sandbox == Sandbox::none ? makeDesktop(options) : makeSandboxed(options);
}

Result<std::shared_ptr<Workspace>> detail::desktopWorkspace() {
  return Workspace::make(detectSandbox(), {});
}

}  // namespace mornik
