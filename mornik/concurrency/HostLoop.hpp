#pragma once

#include <chrono>
#include <optional>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// Drives the main queue from an event loop that is not ours: the loop a GUI
// toolkit runs on the main thread (GLib's, Qt's), which cannot call
// RunLoop::main().run().
//
//   auto host = mornik::attachHostLoop();  // keep it while the loop runs
//   watchReadable(host.value().fd(), [] {
//     auto drained = mornik::drainMainQueue();
//     rearmTimer(drained.value().nextTimer);
//   });
//
// While at least one host loop is attached, the main queue's event
// descriptor becomes readable whenever the main run loop would wake: work
// was queued on the main queue (directly, by asyncAfter, by a sync from
// another thread), a main-thread RunLoopTimer was attached or invalidated,
// or RunLoop::main().wakeUp() was called. With no host attached the
// descriptor is never written, so our own run loop pays nothing for it.
// Ready integrations: platform/GLibMainQueue.hpp (mornik-glib) and
// platform/QtMainQueue.hpp (mornik-qt).
//
// The guarantees are those of RunLoop::main(): main-queue items run on the
// main thread, one at a time, in order, never twice however many hosts
// watch the descriptor; a drain inside main-queue work (a toolkit's modal
// loop run by that work) fires timers but runs no main-queue item, as a
// nested RunLoop run does not, and leaves the descriptor quiet meanwhile.
// Work queued while no host drains (the host stopped calling, its loop
// quit) waits, and runs at the next drain or RunLoop run; nothing drains it
// at process exit.

// What a drain left behind.
struct MainQueueDrain {
  // Main-queue items are still waiting: the drain ran a batch and stopped so
  // that the host's other sources get a turn. The descriptor is readable
  // again, so a host that watches it drains again soon.
  bool moreQueued = false;
  // When the main thread's next RunLoopTimer is due, on the steady clock
  // (nullopt: no timer). The host calls drainMainQueue() again then.
  std::optional<std::chrono::steady_clock::time_point> nextTimer;
};

// Keeps a host loop attached (the descriptor written on wake-ups) while it
// lives. Move-only. Attached hosts are counted: the descriptor is written
// until the last attachment goes.
//
// Thread safety: wake-ups on any thread write the descriptor; a host
// attaches, drains and detaches on the main thread.
class [[nodiscard]] HostLoopAttachment {
 public:
  HostLoopAttachment(HostLoopAttachment&& other) noexcept;
  HostLoopAttachment& operator=(HostLoopAttachment&& other) noexcept;
  HostLoopAttachment(const HostLoopAttachment&) = delete;
  HostLoopAttachment& operator=(const HostLoopAttachment&) = delete;
  ~HostLoopAttachment();

  // The main queue's event descriptor (an eventfd, non-blocking and
  // close-on-exec): one for the process, owned by the library and never
  // closed. Watch it for reading; drainMainQueue() resets it.
  int fd() const noexcept { return fd_; }

  struct Passkey {};
  HostLoopAttachment(Passkey /*unused*/, int fd) noexcept : fd_(fd) {}

 private:
  int fd_;  // -1 once moved from
};

// Attaches a host loop. The descriptor is readable at once, so that the
// host's first drain runs what queued before and learns the next timer.
// Fails with the system's error when no eventfd can be made (EMFILE).
Result<HostLoopAttachment> attachHostLoop();

// Runs what is due on the main thread: the main queue's waiting items (a
// batch of them) and the main thread's due RunLoopTimers; returns what is
// left. Resets the descriptor first, so a wake-up during the drain makes it
// readable again. Called on any other thread it runs nothing and fails with
// "drainMainQueue: the main queue can only be drained on the main thread"
// (code EPERM).
Result<MainQueueDrain> drainMainQueue();

// Whether the calling thread is the main thread (the process's initial
// thread, which owns the main run loop), the one thread a host may drain on.
bool isMainThread() noexcept;

}  // namespace mornik

MORNIK_EXPORTS_END
