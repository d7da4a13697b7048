#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

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

// Waits for file descriptors to become readable, on one thread of the
// library (epoll), and runs a handler for each readiness: on a dispatch queue
// of the caller's choice, or on the watcher's own thread.
//
//   // Every chunk a pipe delivers, then an empty one at its end:
//   auto watch = FdWatcher::readChunks(std::move(readEnd), DispatchQueue::global(),
//                                      [](std::string_view chunk) {
//                                        if (chunk.empty()) finished(); else consume(chunk);
//                                      });
//   ...
//   watch.value()->cancel();  // no handler starts after this; the descriptor is closed
//
// One watch, one handler at a time: a readiness disarms the descriptor until
// its handler has returned (epoll one-shot), so the handler of one watch
// never runs twice at once, and the chunks of one descriptor arrive in the
// order they were read, also on a concurrent queue. Handlers of different
// watches run concurrently on their queues.
//
// Without a queue, handlers run on the watcher's thread, which serves every
// watch of the process: such a handler must be short, must not block and
// must not throw (that ends the process). Handlers on a queue follow the
// queue's rules (an exception escaping asynchronous work ends the process).
//
// Ownership: a watch owns its descriptor and its handler and lives until it
// ends: when its handler ends it (returns false, or end of file for
// readChunks) or when cancel() is called. Releasing the handle returned here
// does not end it. When a watch ends, the descriptor is closed and the
// handler released (after a running call of it has returned).
//
// Thread safety: every member may be called from any thread.
class FdWatcher {
 public:
  FdWatcher() = delete;

  // What one read of readChunks asks for at most.
  static constexpr std::size_t kChunkSize = std::size_t{64} * 1024;
  // Reads readChunks makes in one turn before it lets other work in (the
  // descriptor is then re-armed, so a busy stream keeps its turns coming).
  static constexpr int kReadsPerTurn = 16;

  // Called at each readiness; reads from watch.fd() (non-blocking) and
  // returns true to be called at the next readiness, false to end the watch.
  using ReadyHandler = std::function<bool(FdWatch& watch)>;
  // A chunk: the bytes of one read, valid during the call; empty at end of
  // file (or when a read fails), after which the watch ends.
  using ChunkHandler = std::function<void(std::string_view chunk)>;

  // Watches `fd` (made non-blocking) for readability. Fails when the
  // descriptor cannot be watched (a regular file, a closed descriptor:
  // "epoll_ctl: <reason>") or the watcher cannot start.
  static Result<std::shared_ptr<FdWatch>> watchReadable(UniqueFd fd,
                                                        std::optional<DispatchQueue> queue,
                                                        ReadyHandler onReady);

  // Reads `fd` as data arrives and hands each chunk to `onChunk`, in order,
  // then an empty chunk at end of file. A chunk is what the descriptor holds
  // at that moment, up to `mostPerChunk` bytes, taken in reads of at most
  // kChunkSize; with a limit above kChunkSize, a reader that falls behind
  // gets fewer, larger chunks (the most a chunk may take doubles from
  // kChunkSize as chunks fill it). After cancel() no further chunk is handed
  // over (a chunk being handled then is finished) and no empty chunk
  // follows. A pipe that its writer keeps full is given a capacity of 1 MiB
  // (a few pipes of the process at a time), so that the writer runs ahead
  // while chunks are handled. On a queue, when work waits for a thread after
  // a chunk (what the handler passed on to another queue, say), the next
  // chunk is read by a new turn submitted behind it, so that work runs
  // first, and on this thread if no other is free.
  static Result<std::shared_ptr<FdWatch>> readChunks(UniqueFd fd,
                                                     std::optional<DispatchQueue> queue,
                                                     ChunkHandler onChunk,
                                                     std::size_t mostPerChunk = kChunkSize);

  // How many watches have not ended yet (a snapshot).
  static std::size_t activeWatchCount();
};

// One watched descriptor (see FdWatcher).
class FdWatch final : public std::enable_shared_from_this<FdWatch> {
  struct Passkey {
    explicit Passkey() = default;
  };

 public:
  FdWatch(Passkey /*unused*/, std::uint64_t id, UniqueFd fd, std::optional<DispatchQueue> queue,
          FdWatcher::ReadyHandler onReady);
  FdWatch(const FdWatch&) = delete;
  FdWatch& operator=(const FdWatch&) = delete;
  ~FdWatch() = default;

  // The watched descriptor, for the handler to read (valid while the watch
  // has not ended).
  int fd() const noexcept { return fdNumber_; }

  // Ends the watch: no handler starts after this returns. A handler running
  // now finishes first; the descriptor is closed when it returns (at once
  // when none runs). Later calls do nothing; a handler may cancel its own
  // watch.
  void cancel() MORNIK_EXCLUDES(lock_);
  bool isCancelled() const noexcept { return cancelled_.load(std::memory_order_acquire); }
  // Whether the watch has ended and closed its descriptor.
  bool isFinished() const MORNIK_EXCLUDES(lock_);
  // From the handler, before it returns true: run the next turn from the
  // watch's queue at once, without waiting for readiness (the handler knows
  // the descriptor has more and let other work go first). Without a queue,
  // the next turn waits for readiness as usual.
  void continueOnQueue() noexcept { continueOnQueue_ = true; }

 private:
  friend class detail::FdReactor;

  // The descriptor is readable (on the watcher's thread): run a turn there or
  // submit it to the queue.
  void ready();
  // Runs the handler once, then re-arms the descriptor or ends the watch.
  void turn() MORNIK_EXCLUDES(lock_);
  // Removes the descriptor from the watcher and closes it; returns the
  // handler, to be released outside the lock.
  FdWatcher::ReadyHandler finishLocked() MORNIK_REQUIRES(lock_);

  const std::uint64_t id_;
  const int fdNumber_;
  const std::optional<DispatchQueue> queue_;
  std::atomic<bool> cancelled_{false};
  mutable UnfairLock lock_;
  UniqueFd fd_ MORNIK_GUARDED_BY(lock_);
  FdWatcher::ReadyHandler onReady_ MORNIK_GUARDED_BY(lock_);
  bool running_ MORNIK_GUARDED_BY(lock_) = false;
  bool continueOnQueue_ = false;  // the running handler's request
  bool finished_ MORNIK_GUARDED_BY(lock_) = false;
};

}  // namespace mornik

MORNIK_EXPORTS_END
