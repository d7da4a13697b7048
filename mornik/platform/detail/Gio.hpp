#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"

MORNIK_EXPORTS_BEGIN

// GLib types, declared here so that this header needs no GLib header.
// NOLINTBEGIN(bugprone-reserved-identifier): GLib's own names
extern "C" {
struct _GDBusConnection;
struct _GMainContext;
struct _GUnixFDList;
struct _GVariant;
}
// NOLINTEND(bugprone-reserved-identifier)

namespace mornik::detail {

// The library's one GLib thread, "mornik.glib": a GLib main loop on a
// context of its own, shared by every adapter built on a library that runs
// on GLib (GIO, GDBus, GStreamer; later libsecret). Launched applications
// are reaped there, the application-database monitor reports changes there,
// and sound players' buses are watched there. Started on first use, it runs
// until the process ends. (The library's own descriptors go to the
// descriptor watcher instead, reactor/FdWatcher.hpp.)

// Runs `work` on the GLib thread and waits for it, as a blocked thread for
// the worker pool (runs it at once when called on that thread).
void runOnGioThread(const std::function<void()>& work);

// The GLib thread's context, for sources that must be dispatched there.
_GMainContext* glibContext();

// A number that grows every time GIO reports that the installed
// applications or their content-type associations changed.
std::uint64_t applicationsGeneration();

// Whether a session bus can be reached without starting one: its address is
// in DBUS_SESSION_BUS_ADDRESS, or $XDG_RUNTIME_DIR/bus exists. Never lets
// GLib launch a bus of its own.
bool sessionBusConfigured();

// The error when there is no session bus: "no D-Bus session bus".
Error noSessionBus();

}  // namespace mornik::detail

namespace mornik::detail {

// Releases a GVariant reference.
struct VariantUnref {
  void operator()(_GVariant* value) const noexcept;
};
using VariantPtr = std::unique_ptr<_GVariant, VariantUnref>;

// The session bus connection the adapters share: made on first use (never
// by starting a bus), kept for the life of the process, and made anew when
// the bus has closed it. A closed connection never ends the process. Null
// when there is no bus; `error` then says why (noSessionBus(), or the
// connection's failure). The caller releases its reference.
_GDBusConnection* sessionBus(Error& error);

// A method call on the session bus, waiting at most `timeoutMs` for the
// answer, as a blocked thread for the worker pool: the reply tuple, or a
// failure. `parameters` is consumed (a
// floating reference is sunk). Failures: noSessionBus(); a timeout as
// "<service> did not answer <method> within <n> ms"; a service nobody owns
// and nobody can start as "<service> is not available: <D-Bus message>"
// (code 1, so callers can fall back); any other D-Bus error as
// "<service>.<method>: <D-Bus message>".
Result<VariantPtr> callSessionBus(const std::string& service, const std::string& path,
                                  const std::string& interface, const std::string& method,
                                  _GVariant* parameters, int timeoutMs,
                                  _GUnixFDList* fds = nullptr);

// The error code of callSessionBus() when the service is not there.
inline constexpr int kServiceMissingCode = 1;

}  // namespace mornik::detail

MORNIK_EXPORTS_END
