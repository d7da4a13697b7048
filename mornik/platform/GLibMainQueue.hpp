#pragma once

#include <memory>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"

MORNIK_EXPORTS_BEGIN

// GLib's context type, declared here so that this header needs no GLib header.
// NOLINTBEGIN(bugprone-reserved-identifier): GLib's own name
extern "C" {
struct _GMainContext;
}
// NOLINTEND(bugprone-reserved-identifier)

namespace mornik {

// Drives the main queue from a GLib main context: a GTK application (or any
// GLib main loop on the main thread) runs the main queue's work and the main
// thread's RunLoopTimers without ever calling RunLoop::main().run().
//
//   int main(int argc, char** argv) {
//     auto mainQueue = mornik::GLibMainQueue::attach();  // the default context
//     ...
//     g_application_run(app, argc, argv);                 // or gtk_main(), g_main_loop_run()
//   }
//
// One GSource per context watches the main queue's event descriptor
// (HostLoop.hpp) and takes the next timer deadline as its timeout. Attaching
// to a context that has the source already shares it: the source leaves the
// context when the last handle goes. Attached to GLib and to Qt at once
// (Qt's dispatcher may run on GLib's default context), each item still runs
// once. A modal loop inside main-queue work fires timers but runs no
// main-queue item until that work returns; the source stays quiet meanwhile.
//
// The library's own GLib thread ("mornik.glib", which runs GIO, GDBus,
// GStreamer and libsecret) iterates a context of its own, never the default
// one, and never waits for the main thread: a host loop blocked in a long
// dispatch, or in a portal dialog's wait (which iterates only a private
// context of the calling thread), stalls nothing there, and work handed to
// that thread from main-queue work completes while the host loop waits.
//
// Thread safety: attach() and the handle's destruction on the main thread
// only (the thread that iterates the context): attach() fails elsewhere.
// The source must be dispatched on the main thread; a context iterated by
// another thread ends the process with a message saying so.
class GLibMainQueue {
 public:
  // Attaches the main queue to `context` (null: GLib's default context).
  // Fails off the main thread ("GLibMainQueue: attach on the main thread",
  // code EPERM), or when no event descriptor can be made.
  static Result<GLibMainQueue> attach(_GMainContext* context = nullptr);

  // Whether the source is attached to `context` (null: the default one).
  static bool isAttached(_GMainContext* context = nullptr);

  struct Source;
  struct Passkey {};
  GLibMainQueue(Passkey /*unused*/, std::shared_ptr<Source> source) noexcept
      : source_(std::move(source)) {}

 private:
  std::shared_ptr<Source> source_;
};

}  // namespace mornik

MORNIK_EXPORTS_END
