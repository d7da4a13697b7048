#include "mornik/platform/detail/Gio.hpp"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <pthread.h>

#include "mornik/concurrency/BlockingScope.hpp"

namespace mornik::detail {

namespace {

std::atomic<std::uint64_t> gGeneration{0};

void applicationsChanged(GAppInfoMonitor* /*monitor*/, gpointer /*data*/) {
  gGeneration.fetch_add(1, std::memory_order_release);
}

struct GioThread {
  GMainContext* context = nullptr;
  std::thread::id id;

  GioThread() {
    std::promise<void> ready;
    std::thread thread([this, &ready] {
      pthread_setname_np(pthread_self(), "mornik.glib");
      context = g_main_context_new();
      g_main_context_push_thread_default(context);
      id = std::this_thread::get_id();
      // The monitor reports changes only once the application database has
      // been read, and only in the context current when it was made.
      GAppInfoMonitor* monitor = g_app_info_monitor_get();
      g_signal_connect(monitor, "changed", G_CALLBACK(applicationsChanged), nullptr);
      g_list_free_full(g_app_info_get_all(), g_object_unref);
      GMainLoop* loop = g_main_loop_new(context, FALSE);
      ready.set_value();
      g_main_loop_run(loop);  // until the process ends
    });
    ready.get_future().wait();
    thread.detach();
  }
};

GioThread& gioThread() {
  static auto* thread = new GioThread();  // never destroyed: it runs until exit
  return *thread;
}

gboolean runWork(gpointer data) {
  auto* work = static_cast<std::packaged_task<void()>*>(data);
  (*work)();
  return G_SOURCE_REMOVE;
}

}  // namespace

void runOnGioThread(const std::function<void()>& work) {
  GioThread& thread = gioThread();
  if (std::this_thread::get_id() == thread.id) {
    work();
    return;
  }
  std::packaged_task<void()> task(work);
  std::future<void> done = task.get_future();
  g_main_context_invoke(thread.context, runWork, &task);
  const BlockingScope blocking;
  done.get();
}

GMainContext* glibContext() { return gioThread().context; }

std::uint64_t applicationsGeneration() {
  gioThread();
  return gGeneration.load(std::memory_order_acquire);
}

bool sessionBusConfigured() {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): read only
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address != nullptr && *address != '\0') return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");  // NOLINT(concurrency-mt-unsafe)
  if (runtime == nullptr || *runtime == '\0') return false;
  std::error_code ignored;
  return std::filesystem::exists(std::filesystem::path(runtime) / "bus", ignored);
}

Error noSessionBus() { return WTF("no D-Bus session bus", 0); }

void VariantUnref::operator()(_GVariant* value) const noexcept {
  if (value != nullptr) g_variant_unref(value);
}

GDBusConnection* sessionBus(Error& failure) {
  // A connection of the library's own rather than GLib's process-wide one:
  // that one ends the process when the bus closes it, unless whoever holds
  // it says otherwise.
  static std::mutex lock;
  static GDBusConnection* shared = nullptr;
  if (!sessionBusConfigured()) {
    failure = noSessionBus();
    return nullptr;
  }
  std::lock_guard guard(lock);
  if (shared != nullptr && !g_dbus_connection_is_closed(shared)) {
    return G_DBUS_CONNECTION(g_object_ref(shared));
  }
  if (shared != nullptr) g_clear_object(&shared);
  const BlockingScope blocking;  // connecting waits for the bus's answers
  GError* error = nullptr;
  gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (address != nullptr) {
    shared = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    g_free(address);
  }
  if (shared == nullptr) {
    const std::string message = error != nullptr ? error->message : "unknown error";
    g_clear_error(&error);
    failure = WTF("no D-Bus session bus: " + message, 0);
    return nullptr;
  }
  g_dbus_connection_set_exit_on_close(shared, FALSE);
  return G_DBUS_CONNECTION(g_object_ref(shared));
}

Result<VariantPtr> callSessionBus(const std::string& service, const std::string& path,
                                  const std::string& interface, const std::string& method,
                                  _GVariant* parameters, int timeoutMs, _GUnixFDList* fds) {
  // Owns the parameters whatever happens below.
  VariantPtr owned(parameters != nullptr ? g_variant_ref_sink(parameters) : nullptr);
  Error failure = noSessionBus();
  GDBusConnection* bus = sessionBus(failure);
  if (bus == nullptr) return failure;
  GError* error = nullptr;
  GVariant* reply = nullptr;
  {
    const BlockingScope blocking;  // up to timeoutMs
    reply = g_dbus_connection_call_with_unix_fd_list_sync(
        bus, service.c_str(), path.c_str(), interface.c_str(), method.c_str(), owned.get(), nullptr,
        G_DBUS_CALL_FLAGS_NONE, timeoutMs, fds, nullptr, nullptr, &error);
  }
  g_object_unref(bus);
  if (reply != nullptr) return VariantPtr(reply);
  const bool timedOut = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT) ||
                        g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_TIMEOUT) ||
                        g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NO_REPLY);
  const bool missing = g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
                       g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER);
  if (error != nullptr) g_dbus_error_strip_remote_error(error);
  const std::string message = error != nullptr ? error->message : "unknown error";
  g_clear_error(&error);
  if (timedOut) {
    return WTF(
        service + " did not answer " + method + " within " + std::to_string(timeoutMs) + " ms", 0);
  }
  if (missing) return WTF(service + " is not available: " + message, kServiceMissingCode);
  return WTF(service + "." + method + ": " + message, 0);
}

}  // namespace mornik::detail
