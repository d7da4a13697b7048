#include <atomic>
#include <cstdlib>

#include <gio/gio.h>

#include "mornik/concurrency/BlockingScope.hpp"
#include "mornik/platform/FileDialogs.hpp"
#include "mornik/platform/detail/DesktopFactories.hpp"
#include "mornik/platform/detail/Gio.hpp"
#include "mornik/platform/detail/Tools.hpp"

namespace mornik {

namespace {

using Chosen = std::optional<std::vector<std::filesystem::path>>;

constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
// A dialog waits for a person: a day is "for ever" for the child's timeout.
constexpr double kPersonTimeout = 24.0 * 3600.0;

// What the portal's Response signal said.
struct Answer {
  bool done = false;
  Result<Chosen> outcome = Chosen{};
};

void onResponse(GDBusConnection* /*bus*/, const gchar* /*sender*/, const gchar* /*path*/,
                const gchar* /*interface*/, const gchar* /*signal*/, GVariant* parameters,
                gpointer data) {
  auto* answer = static_cast<Answer*>(data);
  guint32 response = 2;
  GVariant* results = nullptr;
  g_variant_get(parameters, "(u@a{sv})", &response, &results);
  if (response == 0) {
    std::vector<std::filesystem::path> paths;
    const gchar** uris = nullptr;
    if (g_variant_lookup(results, "uris", "^a&s", &uris)) {
      for (const gchar** uri = uris; *uri != nullptr; ++uri) {
        if (gchar* path = g_filename_from_uri(*uri, nullptr, nullptr)) {
          paths.emplace_back(path);
          g_free(path);
        }
      }
      g_free(static_cast<gpointer>(uris));
    }
    answer->outcome = Chosen(std::move(paths));
  } else if (response == 1) {
    answer->outcome = Chosen();  // cancelled
  } else {
    answer->outcome = WTF("the file dialog failed", 0);
  }
  if (results != nullptr) g_variant_unref(results);
  answer->done = true;
}

void onPortalGone(GDBusConnection* /*bus*/, const gchar* /*name*/, gpointer data) {
  auto* answer = static_cast<Answer*>(data);
  if (answer->done) return;
  answer->outcome = WTF("the desktop portal went away while its file dialog was open", 0);
  answer->done = true;
}

// Both adapters choose either files or folders; with both allowed, files.
bool foldersOnly(const FileDialogs::Request& request) {
  return request.chooseFolders && !request.chooseFiles;
}

class PortalDialogs final : public FileDialogs {
 public:
  explicit PortalDialogs(int timeoutMs) : timeoutMs_(timeoutMs) {}

  Result<Chosen> run(const Request& request) override {
    Error failure = detail::noSessionBus();
    GDBusConnection* bus = detail::sessionBus(failure);
    if (bus == nullptr) return failure;
    // The request's object path is known before the call from our unique
    // name and a token, so that the answer cannot come before we listen.
    std::string sender = g_dbus_connection_get_unique_name(bus) + 1;
    for (char& c : sender) c = c == '.' ? '_' : c;
    const std::string token = "mornik" + std::to_string(++tokens_);
    const std::string handle = std::string(kPortalPath) + "/request/" + sender + "/" + token;

    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    Answer answer;
    const guint subscription = g_dbus_connection_signal_subscribe(
        bus, kPortal, "org.freedesktop.portal.Request", "Response", handle.c_str(), nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE, onResponse, &answer, nullptr);
    const guint watch = g_bus_watch_name_on_connection(bus, kPortal, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                                       nullptr, onPortalGone, &answer, nullptr);

    auto called = detail::callSessionBus(
        kPortal, kPortalPath, "org.freedesktop.portal.FileChooser",
        request.save ? "SaveFile" : "OpenFile",
        g_variant_new("(ss@a{sv})", "", request.title.c_str(), options(request, token)),
        timeoutMs_);
    if (called.isFailure()) {
      answer.outcome = called.error();
      answer.done = true;
    }
    {
      // The person's answer: only this call's own context runs meanwhile.
      const BlockingScope blocking;
      while (!answer.done) g_main_context_iteration(context, TRUE);
    }

    g_bus_unwatch_name(watch);
    g_dbus_connection_signal_unsubscribe(bus, subscription);
    // Callbacks already queued for this context are dropped with it.
    while (g_main_context_iteration(context, FALSE)) {
    }
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
    g_object_unref(bus);
    return answer.outcome;
  }

 private:
  static GVariant* options(const Request& request, const std::string& token) {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&builder, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
    g_variant_builder_add(&builder, "{sv}", "modal", g_variant_new_boolean(TRUE));
    if (!request.acceptLabel.empty()) {
      g_variant_builder_add(&builder, "{sv}", "accept_label",
                            g_variant_new_string(request.acceptLabel.c_str()));
    }
    if (!request.folder.empty()) {
      g_variant_builder_add(&builder, "{sv}", "current_folder",
                            g_variant_new_bytestring(request.folder.c_str()));
    }
    if (request.save) {
      if (!request.fileName.empty()) {
        g_variant_builder_add(&builder, "{sv}", "current_name",
                              g_variant_new_string(request.fileName.c_str()));
      }
    } else {
      g_variant_builder_add(&builder, "{sv}", "multiple", g_variant_new_boolean(request.multiple));
      g_variant_builder_add(&builder, "{sv}", "directory",
                            g_variant_new_boolean(foldersOnly(request)));
    }
    return g_variant_builder_end(&builder);
  }

  const int timeoutMs_;
  std::atomic<unsigned> tokens_{0};
};

class ZenityDialogs final : public FileDialogs {
 public:
  Result<Chosen> run(const Request& request) override {
    std::vector<std::string> argv{"zenity", "--file-selection", "--separator=\n"};
    if (!request.title.empty()) argv.push_back("--title=" + request.title);
    if (!request.save && foldersOnly(request)) argv.emplace_back("--directory");
    if (request.save) {
      argv.emplace_back("--save");
      argv.emplace_back("--confirm-overwrite");
    } else if (request.multiple) {
      argv.emplace_back("--multiple");
    }
    std::filesystem::path start = request.folder;
    if (request.save && !request.fileName.empty()) {
      start = start.empty() ? std::filesystem::path(request.fileName) : start / request.fileName;
      argv.push_back("--filename=" + start.string());
    } else if (!start.empty()) {
      argv.push_back("--filename=" + (start / "").string());
    }
    auto ran = detail::runChild(argv, {}, kPersonTimeout);
    if (ran.isFailure()) return ran.error();
    if (ran.value().exitCode == 1) return Chosen();  // cancelled or closed
    if (ran.value().exitCode != 0) {
      return WTF("zenity failed with exit code " + std::to_string(ran.value().exitCode), 0);
    }
    std::vector<std::filesystem::path> paths;
    std::string_view rest = ran.value().output;
    while (!rest.empty()) {
      const std::size_t end = rest.find('\n');
      if (end != 0) paths.emplace_back(std::string(rest.substr(0, end)));
      rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    return Chosen(std::move(paths));
  }
};

bool displayAvailable() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): read only
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

// Whether the portal runs or the bus can start it.
bool portalAvailable() {
  if (!detail::sessionBusConfigured()) return false;
  auto owned = detail::callSessionBus("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                      "org.freedesktop.DBus", "NameHasOwner",
                                      g_variant_new("(s)", kPortal), 2000);
  gboolean has = FALSE;
  if (owned.isSuccess()) g_variant_get(owned.value().get(), "(b)", &has);
  if (has) return true;
  auto activatable =
      detail::callSessionBus("org.freedesktop.DBus", "/org/freedesktop/DBus",
                             "org.freedesktop.DBus", "ListActivatableNames", nullptr, 2000);
  if (activatable.isFailure()) return false;
  GVariantIter* names = nullptr;
  const gchar* name = nullptr;
  bool found = false;
  g_variant_get(activatable.value().get(), "(as)", &names);
  while (g_variant_iter_next(names, "&s", &name)) found = found || std::string(name) == kPortal;
  g_variant_iter_free(names);
  return found;
}

}  // namespace

std::shared_ptr<FileDialogs> FileDialogs::makePortal(int busTimeoutMs) {
  return std::make_shared<PortalDialogs>(busTimeoutMs);
}

Result<std::shared_ptr<FileDialogs>> FileDialogs::makeZenity() {
  if (!detail::findProgram("zenity")) return WTF("zenity is not installed", 0);
  return std::shared_ptr<FileDialogs>(std::make_shared<ZenityDialogs>());
}

Result<std::shared_ptr<FileDialogs>> detail::desktopFileDialogs() {
  if (portalAvailable()) return FileDialogs::makePortal();
  if (displayAvailable()) {
    if (auto zenity = FileDialogs::makeZenity(); zenity.isSuccess()) return zenity;
  }
  return WTF("no file dialog: neither the desktop portal nor zenity is available", 0);
}

}  // namespace mornik
