#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "mornik/base/Error.hpp"
#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/ThreadAnnotations.hpp"
#include "mornik/concurrency/UnfairLock.hpp"
#include "mornik/fileio/UniqueFd.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

namespace detail {
class FdReactor;
}  // namespace detail

class FdWatch;

// What a descriptor is watched for (a watch's interest: readable, writable,
// both, or none) and what it was found ready for (handed to the handler,
// which may also see hangUp and error whatever the interest).
enum class FdEvents : std::uint8_t {
  none = 0,
  readable = 1 << 0,
  writable = 1 << 1,
  // The peer is gone (the other end of a pipe closed, a socket's peer shut
  // its writing side or closed): reads drain what is left, then find the end.
  hangUp = 1 << 2,
  // An error is pending on the descriptor (a write to a pipe whose reader is
  // gone, a reset connection): the next read or write reports it.
  error = 1 << 3,
};

constexpr FdEvents operator|(FdEvents a, FdEvents b) noexcept {
  return static_cast<FdEvents>(static_cast<std::uint8_t>(a) | static_cast<std::uint8_t>(b));
}
constexpr FdEvents operator&(FdEvents a, FdEvents b) noexcept {
  return static_cast<FdEvents>(static_cast<std::uint8_t>(a) & static_cast<std::uint8_t>(b));
}
// Whether `events` holds any of `wanted`.
constexpr bool hasAny(FdEvents events, FdEvents wanted) noexcept {
  return (events & wanted) != FdEvents::none;
}

// Waits for file descriptors to become readable or writable, on one thread
// of the library (epoll), and runs a handler for each readiness: on a
// dispatch queue of the caller's choice, or on the watcher's own thread.
//
//   // A socket a library hands out and closes itself, watched both ways:
//   FdWatcher::Options options;
//   options.interest = FdEvents::readable | FdEvents::writable;
//   options.queue = DispatchQueue("app.net");
//   options.onEnd = [](const Result<void>& end) { if (end.isFailure()) report(end.error()); };
//   auto watch = FdWatcher::watchBorrowed(socket, options, [](FdWatch& w, FdEvents ready) {
//     drive(w.fd(), ready);
//     if (!wantsToWrite()) w.setInterest(FdEvents::readable);
//     return true;
//   });
//   ...
//   watch.value()->cancel();  // before the library closes the socket
//
// Which descriptors come here: the library's own (pipes, pidfds, timerfds,
// eventfds) and the sockets of libraries that hand their descriptors out
// (libcurl, Xlib, the journal). Libraries that run on GLib's main context
// (GDBus, libsecret, GStreamer) share the library's one GLib thread instead;
// their descriptors are never watched here.
//
// Handlers: one watch, one handler at a time. A readiness disarms the
// descriptor until its handler has returned (epoll one-shot), so the handler
// of one watch never runs twice at once, also on a concurrent queue, and
// the chunks of one descriptor arrive in the order they were read. Handlers
// of different watches run concurrently on their queues. A readiness may be
// stale by the time its handler runs: handlers read and write without
// blocking and take EAGAIN as "nothing now".
//
// The watcher's thread: without a queue, handlers and end notifications run
// on the watcher's thread, which serves every watch of the process. Such a
// handler does constant work only (one read of a bounded size, a counter, a
// hand-over to a queue): no loop over data of unknown length, no blocking,
// no lock held by code that waits, no exception (that ends the process).
// Bulk reads and anything slow go to a queue. Handlers on a queue follow the
// queue's rules (an exception escaping asynchronous work ends the process).
//
// Ownership: a watch of an owned descriptor (watch, readChunks) closes it
// when the watch ends; a borrowed one (watchBorrowed) is never closed and
// stays open after the watch ends. A watch holds its handlers and lives until
// it ends: when its handler returns false (or readChunks meets the end of
// the stream), when cancel() or fail() is called, or when the watcher can no
// longer watch the descriptor. Releasing the handle returned here does not
// end it. When a watch ends, its handler is released after a running call of
// it has returned, then the end notification runs.
//
// The end notification (Options::onEnd) runs exactly once per watch, on the
// watch's queue (or the watcher's thread), after the last call of the
// handler has returned, never inside the call that ended the watch from
// outside. It carries success for an ordinary end (the handler returned
// false, the end of file, cancel()), and a failure (domain
// kPOSIXErrorDomain, code = errno) when:
//   - a read of readChunks failed: "cannot read descriptor <n>: <reason>"
//     (a failed read is not an end of file);
//   - the descriptor could not be armed again: "cannot watch descriptor <n>
//     again: <reason>";
//   - a borrowed descriptor was closed while watched (see watchBorrowed):
//     "descriptor <n> was closed while it was watched: Bad file descriptor"
//     (code EBADF);
//   - fail(error) was called: that error.
//
// Thread safety: every member may be called from any thread, handlers and
// end notifications included.
class FdWatcher {
 public:
  FdWatcher() = delete;

  // What one read of readChunks asks for at most.
  static constexpr std::size_t kChunkSize = std::size_t{64} * 1024;
  // Reads readChunks makes in one turn before it lets other work in (the
  // descriptor is then re-armed, so a busy stream keeps its turns coming).
  static constexpr int kReadsPerTurn = 16;

  // Called at each readiness with what the descriptor was found ready for;
  // reads or writes watch.fd() without blocking, and returns true to be
  // called at the next readiness, false to end the watch.
  using Handler = std::function<bool(FdWatch& watch, FdEvents ready)>;
  // The end of a watch (see above).
  using EndHandler = std::function<void(const Result<void>& end)>;
  // A chunk: the bytes of one read, never empty, valid during the call.
  using ChunkHandler = std::function<void(std::string_view chunk)>;

  struct Options {
    // What the handler is called for; changeable with FdWatch::setInterest.
    FdEvents interest = FdEvents::readable;
    // Where handlers and the end notification run; none: the watcher's
    // thread (constant work only, see above).
    std::optional<DispatchQueue> queue;
    // The end notification; may be empty.
    EndHandler onEnd;
    // watchBorrowed only: set O_NONBLOCK on the descriptor (it stays set
    // after the watch). Without it a borrowed descriptor keeps its flags,
    // and its handler must not read or write more than the descriptor has
    // ready. An owned descriptor is always made non-blocking.
    bool makeNonBlocking = false;
  };

  // Watches `fd`, which the watch owns: it is made non-blocking and closed
  // when the watch ends (also when this fails). Fails when the descriptor
  // cannot be watched:
  //   "cannot watch descriptor <n>: epoll refuses regular files and folders,
  //    which are always ready" (EPERM)
  //   "cannot watch descriptor <n>: <reason>" (a closed descriptor: EBADF)
  // or when the watcher cannot start.
  static Result<std::shared_ptr<FdWatch>> watch(UniqueFd fd, Options options, Handler onReady);

  // Watches `fd`, which the caller keeps owning: the watch never closes it
  // and only makes it non-blocking when asked. End the watch (cancel()) before
  // closing the descriptor. One closed while watched cannot always be seen:
  // epoll forgets a descriptor once its last reference is closed, and then
  // its watch waits silently until it is cancelled. What can be seen ends the
  // watch with "descriptor <n> was closed while it was watched" (EBADF) and
  // disturbs no other watch: a re-arm, interest change or cancel that finds
  // the number closed or holding another file; a readiness of the old file
  // (kept alive elsewhere) after its number went to another file, which is
  // never handed to the handler; a new watch of the same number, which takes
  // the number over. Fails as watch() does; a descriptor that is being
  // watched already fails with "cannot watch descriptor <n>: File exists".
  static Result<std::shared_ptr<FdWatch>> watchBorrowed(int fd, Options options, Handler onReady);

  // Reads `fd` (owned, as with watch()) as data arrives and hands each chunk
  // to `onChunk`, in order; at the end of the stream the watch ends, and
  // `onEnd` (may be empty) hears success, or the failure of a read. A chunk
  // is what the descriptor holds at that moment, up to `mostPerChunk` bytes,
  // taken in reads of at most kChunkSize; with a limit above kChunkSize, a
  // reader that falls behind gets fewer, larger chunks (the most a chunk may
  // take doubles from kChunkSize as chunks fill it). After cancel() no
  // further chunk is handed over (a chunk being handled then is finished). A
  // pipe that its writer keeps full is given a capacity of 1 MiB (a few
  // pipes of the process at a time), so that the writer runs ahead while
  // chunks are handled. On a queue, when work waits for a thread after a
  // chunk (what the handler passed on to another queue, say), the next chunk
  // is read by a new turn submitted behind it, so that work runs first, and
  // on this thread if no other is free. Without a queue a turn hands over
  // one chunk (the watcher's thread does bounded work).
  static Result<std::shared_ptr<FdWatch>> readChunks(UniqueFd fd,
                                                     std::optional<DispatchQueue> queue,
                                                     ChunkHandler onChunk, EndHandler onEnd,
                                                     std::size_t mostPerChunk = kChunkSize);

  // How many watches have not ended yet (a snapshot). A watch no longer
  // counted is done with its descriptor: a borrowed one may be closed.
  static std::size_t activeWatchCount();
};

// One watched descriptor (see FdWatcher).
class FdWatch final : public std::enable_shared_from_this<FdWatch> {
  struct Passkey {
    explicit Passkey() = default;
  };

 public:
  FdWatch(Passkey /*unused*/, std::uint64_t id, int fd, bool owned, FdWatcher::Options options,
          FdWatcher::Handler onReady);
  FdWatch(const FdWatch&) = delete;
  FdWatch& operator=(const FdWatch&) = delete;
  ~FdWatch();

  // The watched descriptor, for the handler to read or write (an owned one
  // stays valid while the watch has not ended).
  int fd() const noexcept { return fdNumber_; }
  bool isBorrowed() const noexcept { return !owned_; }

  // What the handler is called for from now on. Inside the handler, or while
  // a readiness waits for its turn on the queue, it applies when the turn
  // ends; otherwise at once. With none, the watch pauses: no handler call
  // (hang-up and error included) until the interest is set again, when a
  // condition that still holds is reported. A failure to arm ends the watch
  // (see FdWatcher).
  void setInterest(FdEvents interest) MORNIK_EXCLUDES(lock_);
  FdEvents interest() const MORNIK_EXCLUDES(lock_);

  // Ends the watch: no handler starts after this returns. A handler running
  // now finishes first; an owned descriptor is closed when it returns (at
  // once when none runs), and then the end notification runs (success, or
  // the failure seen when the descriptor was taken out of the watcher). Later
  // calls do nothing; a handler may cancel its own watch.
  void cancel() MORNIK_EXCLUDES(lock_);
  // The same, with `error` for the end notification (unless the watch has
  // ended already, or an earlier failure was recorded).
  void fail(Error error) MORNIK_EXCLUDES(lock_);
  bool isCancelled() const noexcept { return cancelled_.load(std::memory_order_acquire); }
  // Whether the watch has ended: its handler runs no more and an owned
  // descriptor is closed (the end notification may still be on its way).
  bool isFinished() const MORNIK_EXCLUDES(lock_);
  // From the handler, before it returns true: run the next turn from the
  // watch's queue at once, without waiting for readiness (the handler knows
  // the descriptor has more and let other work go first). Without a queue,
  // the next turn waits for readiness as usual.
  void continueOnQueue() noexcept { continueOnQueue_ = true; }

 private:
  friend class detail::FdReactor;
  enum class Turn : std::uint8_t { idle, queued, running };

  // The descriptor is ready (on the watcher's thread): run a turn there or
  // submit it to the queue.
  void ready(FdEvents events) MORNIK_EXCLUDES(lock_);
  // Runs the handler once, then re-arms the descriptor or ends the watch.
  void turn(FdEvents events) MORNIK_EXCLUDES(lock_);
  // Ends the watch with `result` (or the earlier failure): takes the
  // descriptor out of the watcher unless done, closes an owned one, and
  // moves the handlers out, for finished() after the lock.
  struct Ended;
  Ended finishLocked(const Result<void>& result) MORNIK_REQUIRES(lock_);
  // Releases the handler, then runs the end notification here or delivers
  // it to the watch's queue (the watcher's thread).
  void finished(Ended ended, bool onWatchQueueNow);
  // Takes the descriptor out of the watcher now (cancel while the handler
  // runs), keeping a failure for the end notification.
  void unregisterLocked() MORNIK_REQUIRES(lock_);
  void keepFailureLocked(const Result<void>& result) MORNIK_REQUIRES(lock_);

  std::uint64_t id_;  // set once, by the watcher, before anyone else sees the watch
  const int fdNumber_;
  const bool owned_;
  const std::optional<DispatchQueue> queue_;
  std::atomic<bool> cancelled_{false};
  mutable UnfairLock lock_;
  FdEvents interest_ MORNIK_GUARDED_BY(lock_);
  FdWatcher::Handler onReady_ MORNIK_GUARDED_BY(lock_);
  FdWatcher::EndHandler onEnd_ MORNIK_GUARDED_BY(lock_);
  Turn turn_ MORNIK_GUARDED_BY(lock_) = Turn::idle;
  bool registered_ MORNIK_GUARDED_BY(lock_) = true;  // in the epoll set
  // Whether the number still held this watch's file when it was taken out
  // (an owned descriptor is closed only then).
  bool mayClose_ MORNIK_GUARDED_BY(lock_) = true;
  bool finished_ MORNIK_GUARDED_BY(lock_) = false;
  std::optional<Error> failure_ MORNIK_GUARDED_BY(lock_);
  bool continueOnQueue_ = false;  // the running handler's request
};

}  // namespace mornik

MORNIK_EXPORTS_END
