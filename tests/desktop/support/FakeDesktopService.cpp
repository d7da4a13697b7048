// A stand-in for the desktop's file manager and xdg-desktop-portal on a
// private session bus: it claims org.freedesktop.FileManager1 and
// org.freedesktop.portal.Desktop, answers their methods and writes one line
// per call to a record file, "<caller's unique name> <call>", so tests can
// check what the library asked and over which connection.
//
//   mornik_desktop_fake_service RECORD [--hang] [--uri URI]...
//
// --hang: take every call and never answer. The file chooser answers with
// the --uri URIs, or as cancelled to a dialog titled "Cancelled".
// "ready" is recorded once both names are owned (a service that ended just
// before may still hold them for an instant: the requests wait in line).
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gio/gio.h>
#include <gio/gunixfdlist.h>

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
std::vector<std::string> gUris;
int gOwned = 0;

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
  const int fd =
      fds != nullptr ? g_unix_fd_list_peek_fds(fds, nullptr)[g_variant_get_handle(handle)] : -1;
  std::error_code error;
  return std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), error).string();
}

void onCall(GDBusConnection* bus, const gchar* sender, const gchar* /*path*/,
            const gchar* interface, const gchar* method, GVariant* parameters,
            GDBusMethodInvocation* invocation, gpointer /*data*/) {
  const std::string iface = interface;
  std::string line = std::string(sender) + " " + iface.substr(iface.rfind('.') + 1) + "." + method;
  if (iface == "org.freedesktop.FileManager1") {
    line += " " + print(g_variant_get_child_value(parameters, 0));
  } else if (iface == "org.freedesktop.portal.OpenURI") {
    GVariant* second = g_variant_get_child_value(parameters, 1);
    line += " " + (std::string(method) == "OpenURI" ? g_variant_get_string(second, nullptr)
                                                    : fdPath(invocation, second));
    line += " " + print(g_variant_get_child_value(parameters, 2));
  } else {
    line += " " + print(parameters);
  }
  record(line);
  if (gHang) return;  // never answered
  if (iface == "org.freedesktop.FileManager1") {
    g_dbus_method_invocation_return_value(invocation, nullptr);
    return;
  }
  // Portal requests: answer with the request's path, then its Response.
  const gchar* token = "t";
  g_variant_lookup(g_variant_get_child_value(parameters, 2), "handle_token", "&s", &token);
  std::string unique = sender + 1;
  for (char& c : unique) c = c == '.' ? '_' : c;
  const std::string request = "/org/freedesktop/portal/desktop/request/" + unique + "/" + token;
  g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", request.c_str()));
  if (iface == "org.freedesktop.portal.FileChooser") {
    const std::string title =
        g_variant_get_string(g_variant_get_child_value(parameters, 1), nullptr);
    GVariantBuilder uris;
    g_variant_builder_init(&uris, G_VARIANT_TYPE("as"));
    for (const auto& uri : gUris) g_variant_builder_add(&uris, "s", uri.c_str());
    GVariantBuilder results;
    g_variant_builder_init(&results, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&results, "{sv}", "uris", g_variant_builder_end(&uris));
    g_dbus_connection_emit_signal(
        bus, sender, request.c_str(), "org.freedesktop.portal.Request", "Response",
        g_variant_new("(ua{sv})", title == "Cancelled" ? 1U : 0U, &results), nullptr);
  }
}

void onOwned(GDBusConnection* /*bus*/, const gchar* /*name*/, gpointer /*data*/) {
  if (++gOwned == 2) record("ready");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  gRecord = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--hang") gHang = true;
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
  for (const char* name : {"org.freedesktop.FileManager1", "org.freedesktop.portal.Desktop"}) {
    g_bus_own_name_on_connection(bus, name, G_BUS_NAME_OWNER_FLAGS_NONE, onOwned, nullptr, nullptr,
                                 nullptr);
  }
  g_main_loop_run(g_main_loop_new(nullptr, FALSE));
  return 0;
}
