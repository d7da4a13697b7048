// A stand-in for the desktop's file manager and xdg-desktop-portal on a
// private session bus: it claims org.freedesktop.FileManager1 and
// org.freedesktop.portal.Desktop, answers their methods and writes one line
// per call to a record file, "<caller's unique name> <call>", so tests can
// check what the library asked and over which connection.
//
//   mornik_desktop_fake_service RECORD [--hang] [--response CODE] [--uri URI]...
//
// --hang: take every call and never answer. --response: the code of the file
// chooser's Response signal (0 chosen, 1 cancelled); --uri: the URIs chosen.
// "ready" is recorded once the names are owned.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <unistd.h>

namespace {

#define MORNIK_ITEMS_METHOD(name) \
  "<method name='" name "'><arg type='as' direction='in'/><arg type='s' direction='in'/></method>"
#define MORNIK_PORTAL_METHOD(name, second)                                   \
  "<method name='" name "'><arg type='s' direction='in'/><arg type='" second \
  "' direction='in'/><arg type='a{sv}' direction='in'/><arg type='o' direction='out'/></method>"
const char* kXml =
    "<node><interface name='org.freedesktop.FileManager1'>" MORNIK_ITEMS_METHOD("ShowItems")
        MORNIK_ITEMS_METHOD("ShowFolders") MORNIK_ITEMS_METHOD("ShowItemProperties")
    "</interface><interface name='org.freedesktop.portal.OpenURI'>" MORNIK_PORTAL_METHOD(
            "OpenURI", "s") MORNIK_PORTAL_METHOD("OpenFile", "h") MORNIK_PORTAL_METHOD("OpenDirectory", "h")
    "</interface><interface name='org.freedesktop.portal.FileChooser'>" MORNIK_PORTAL_METHOD(
            "OpenFile", "s") MORNIK_PORTAL_METHOD("SaveFile", "s") "</interface></node>";

std::string gRecord;
bool gHang = false;
guint32 gResponse = 0;
std::vector<std::string> gUris;
std::vector<GDBusMethodInvocation*> gHeld;

void record(const std::string& line) {
  std::ofstream(gRecord, std::ios::app) << line << "\n" << std::flush;
}

std::string print(GVariant* value) {
  gchar* text = g_variant_print(value, FALSE);
  std::string out = text;
  g_free(text);
  return out;
}

// The path of the file a received descriptor refers to.
std::string fdPath(GDBusMethodInvocation* invocation, GVariant* handle) {
  GUnixFDList* fds =
      g_dbus_message_get_unix_fd_list(g_dbus_method_invocation_get_message(invocation));
  if (fds == nullptr) return "(no fd)";
  const int fd = g_unix_fd_list_get(fds, g_variant_get_handle(handle), nullptr);
  std::error_code error;
  const auto path = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), error);
  close(fd);
  return error ? "(unreadable)" : path.string();
}

void onCall(GDBusConnection* bus, const gchar* sender, const gchar* /*path*/,
            const gchar* interface, const gchar* method, GVariant* parameters,
            GDBusMethodInvocation* invocation, gpointer /*data*/) {
  const std::string iface = interface;
  std::string line = iface.substr(iface.rfind('.') + 1) + "." + method;
  if (iface == "org.freedesktop.FileManager1") {
    line += " " + print(g_variant_get_child_value(parameters, 0));
  } else if (iface == "org.freedesktop.portal.OpenURI") {
    GVariant* second = g_variant_get_child_value(parameters, 1);
    line +=
        " " + (std::string(method) == "OpenURI" ? std::string(g_variant_get_string(second, nullptr))
                                                : fdPath(invocation, second));
    line += " " + print(g_variant_get_child_value(parameters, 2));
  } else {
    line += " " + print(parameters);
  }
  record(std::string(sender) + " " + line);
  if (gHang) {
    gHeld.push_back(invocation);  // never answered
    return;
  }
  if (iface == "org.freedesktop.FileManager1") {
    g_dbus_method_invocation_return_value(invocation, nullptr);
    return;
  }
  // Portal requests: answer with the request's path, then its Response.
  std::string token = "t";
  GVariant* options = g_variant_get_child_value(parameters, 2);
  const gchar* given = nullptr;
  if (g_variant_lookup(options, "handle_token", "&s", &given)) token = given;
  std::string unique = sender + 1;
  for (char& c : unique) c = c == '.' ? '_' : c;
  const std::string request = "/org/freedesktop/portal/desktop/request/" + unique + "/" + token;
  g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", request.c_str()));
  if (iface == "org.freedesktop.portal.FileChooser") {
    GVariantBuilder uris;
    g_variant_builder_init(&uris, G_VARIANT_TYPE("as"));
    for (const auto& uri : gUris) g_variant_builder_add(&uris, "s", uri.c_str());
    GVariantBuilder results;
    g_variant_builder_init(&results, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&results, "{sv}", "uris", g_variant_builder_end(&uris));
    g_dbus_connection_emit_signal(bus, sender, request.c_str(), "org.freedesktop.portal.Request",
                                  "Response", g_variant_new("(ua{sv})", gResponse, &results),
                                  nullptr);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  gRecord = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--hang") gHang = true;
    if (arg == "--response" && i + 1 < argc)
      gResponse = static_cast<guint32>(std::stoul(argv[++i]));
    if (arg == "--uri" && i + 1 < argc) gUris.emplace_back(argv[++i]);
  }
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (bus == nullptr) return 3;
  GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kXml, nullptr);
  const GDBusInterfaceVTable table{onCall, nullptr, nullptr, {}};
  g_dbus_connection_register_object(bus, "/org/freedesktop/FileManager1", node->interfaces[0],
                                    &table, nullptr, nullptr, nullptr);
  for (int i = 1; i <= 2; ++i) {
    g_dbus_connection_register_object(bus, "/org/freedesktop/portal/desktop", node->interfaces[i],
                                      &table, nullptr, nullptr, nullptr);
  }
  // A service that ended just before may still hold the names for an
  // instant: asked again until owned (1 = primary owner, 4 = already).
  const auto own = [&](const char* name) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
      GVariant* reply = g_dbus_connection_call_sync(
          bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
          "RequestName", g_variant_new("(su)", name, 4u), G_VARIANT_TYPE("(u)"),
          G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
      guint32 result = 0;
      if (reply != nullptr) {
        g_variant_get(reply, "(u)", &result);
        g_variant_unref(reply);
      }
      if (result == 1 || result == 4) return;
      g_usleep(10'000);
    }
  };
  own("org.freedesktop.FileManager1");
  own("org.freedesktop.portal.Desktop");
  record("ready");
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  g_main_loop_run(loop);
  return 0;
}
