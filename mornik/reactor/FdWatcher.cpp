#include "mornik/reactor/FdWatcher.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <unistd.h>

#include "mornik/base/Error.hpp"
#include "mornik/concurrency/LockingProtocol.hpp"

namespace mornik {

namespace detail {

// The watcher's thread: one epoll instance for the whole process, and the
// table from the ids carried by epoll events to their watches. An event
// whose watch has ended (its id is gone) is ignored; ids are never reused.
class FdReactor {
 public:
  static FdReactor& shared() {
    // Never destroyed: the thread runs for the life of the process.
    static auto* const reactor = new FdReactor();
    return *reactor;
  }

  Result<std::shared_ptr<FdWatch>> add(UniqueFd fd, std::optional<DispatchQueue> queue,
                                       FdWatcher::ReadyHandler onReady) {
    if (!epoll_) return startError_;
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) < 0) {
      return Error::fromErrno(errno, "fcntl");
    }
    std::shared_ptr<FdWatch> watch;
    {
      std::lock_guard guard(lock_);
      const std::uint64_t id = nextId_++;
      watch = std::make_shared<FdWatch>(FdWatch::Passkey(), id, std::move(fd), std::move(queue),
                                        std::move(onReady));
      watches_.emplace(id, watch);
    }
    // Added armed: the first readiness (maybe at once) starts the first turn.
    epoll_event event{};
    event.events = EPOLLIN | EPOLLONESHOT;
    event.data.u64 = watch->id_;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, watch->fdNumber_, &event) != 0) {
      const int error = errno;
      remove(watch->id_);
      return Error::fromErrno(error, "epoll_ctl");
    }
    return watch;
  }

  // Arms the descriptor again for one readiness.
  bool rearm(const FdWatch& watch) {
    epoll_event event{};
    event.events = EPOLLIN | EPOLLONESHOT;
    event.data.u64 = watch.id_;
    return ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, watch.fdNumber_, &event) == 0;
  }

  // Forgets the watch and takes its descriptor out of the epoll set (before
  // the caller closes it, so a reused number is never confused with it).
  void forget(const FdWatch& watch) {
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, watch.fdNumber_, nullptr);
    remove(watch.id_);
  }

  std::size_t count() {
    std::lock_guard guard(lock_);
    return watches_.size();
  }

 private:
  FdReactor() : epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
    if (!epoll_) {
      startError_ = Error::fromErrno(errno, "epoll_create1");
      return;
    }
    try {
      std::thread([this] { loop(); }).detach();
    } catch (const std::system_error& error) {
      startError_ = Error::fromException(error);
      epoll_.reset();
    }
  }

  void remove(std::uint64_t id) {
    std::shared_ptr<FdWatch> gone;  // released outside the lock
    std::lock_guard guard(lock_);
    if (auto found = watches_.find(id); found != watches_.end()) {
      gone = std::move(found->second);
      watches_.erase(found);
    }
  }

  [[noreturn]] void loop() {
    pthread_setname_np(pthread_self(), "mornik.fdwatch");
    std::array<epoll_event, 64> events{};
    for (;;) {
      const int count = ::epoll_wait(epoll_.get(), events.data(), events.size(), -1);
      for (int i = 0; i < count; ++i) {
        // A copy: epoll_event is packed, so its 64-bit field is misaligned
        // and cannot be bound to the reference find() takes.
        const std::uint64_t id = events[i].data.u64;
        std::shared_ptr<FdWatch> watch;
        {
          std::lock_guard guard(lock_);
          if (auto found = watches_.find(id); found != watches_.end()) {
            watch = found->second;
          }
        }
        if (watch) watch->ready();
      }
    }
  }

  UniqueFd epoll_;
  Error startError_ = WTF("the file-descriptor watcher did not start", 0);
  std::mutex lock_;
  std::unordered_map<std::uint64_t, std::shared_ptr<FdWatch>> watches_;
  std::uint64_t nextId_ = 1;
};

namespace {

// How many pipes of the process readChunks has widened at a time.
std::atomic<int> gWidenedPipes{0};

}  // namespace

// A pipe whose writer keeps it full (a read takes a whole chunk) gets a
// larger capacity, so the writer runs ahead while chunks are handled and a
// turn takes several chunks: one turn per chunk costs two thread hand-offs.
// Only a few pipes at a time: the system caps the pipe memory of a user, and
// once that is used up, every new pipe of the user is made tiny.
class WidenedPipe {
 public:
  static constexpr int kCapacity = 1024 * 1024;
  static constexpr int kMostAtOnce = 8;

  WidenedPipe() = default;
  WidenedPipe(const WidenedPipe&) = delete;
  WidenedPipe& operator=(const WidenedPipe&) = delete;
  ~WidenedPipe() {
    if (counted_) gWidenedPipes.fetch_sub(1, std::memory_order_relaxed);
  }

  // Tries once (a descriptor that is not a pipe, or a refusal, stays as is).
  void widen(int fd) {
    if (tried_) return;
    tried_ = true;
    if (gWidenedPipes.fetch_add(1, std::memory_order_relaxed) >= kMostAtOnce) {
      gWidenedPipes.fetch_sub(1, std::memory_order_relaxed);
      return;
    }
    counted_ = true;
    ::fcntl(fd, F_SETPIPE_SZ, kCapacity);
  }

 private:
  bool tried_ = false;
  bool counted_ = false;
};

namespace {

// The buffer of readChunks on the calling thread (one turn at a time runs
// on a thread, and a chunk is valid only during its handler's call).
std::vector<char>& chunkBuffer() {
  thread_local std::vector<char> buffer;
  return buffer;
}

}  // namespace

}  // namespace detail

// ---- FdWatcher ----

Result<std::shared_ptr<FdWatch>> FdWatcher::watchReadable(UniqueFd fd,
                                                          std::optional<DispatchQueue> queue,
                                                          ReadyHandler onReady) {
  return detail::FdReactor::shared().add(std::move(fd), std::move(queue), std::move(onReady));
}

Result<std::shared_ptr<FdWatch>> FdWatcher::readChunks(UniqueFd fd,
                                                       std::optional<DispatchQueue> queue,
                                                       ChunkHandler onChunk,
                                                       std::size_t mostPerChunk) {
  mostPerChunk = std::max<std::size_t>(mostPerChunk, 1);
  // `capacity` (the most the next chunk may take) starts at 64 KiB and
  // doubles up to the limit as reads fill it; the bytes go into the running
  // thread's buffer, so memory follows the threads that read, not the
  // number of watches.
  auto onReady = [onChunk = std::move(onChunk), mostPerChunk,
                  capacity = std::min(kChunkSize, mostPerChunk),
                  widened = std::make_shared<detail::WidenedPipe>()](FdWatch& watch) mutable {
    std::vector<char>& buffer = detail::chunkBuffer();
    for (int reads = 0; reads < kReadsPerTurn;) {
      if (watch.isCancelled()) return false;
      // One chunk: reads of up to kChunkSize (a pipe's writer waits while a
      // read copies) for as long as the descriptor has more at once.
      std::size_t filled = 0;
      ssize_t got = 0;
      for (;;) {
        if (buffer.size() < capacity) buffer.resize(capacity);
        const std::size_t want = std::min(kChunkSize, capacity - filled);
        got = ::read(watch.fd(), buffer.data() + filled, want);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        filled += static_cast<std::size_t>(got);
        if (static_cast<std::size_t>(got) < want || filled == capacity) break;
      }
      if (filled > 0) {
        if (filled >= kChunkSize) widened->widen(watch.fd());
        onChunk(std::string_view(buffer.data(), filled));
        if (filled == capacity) capacity = std::min(capacity * 2, mostPerChunk);
        ++reads;
        // What the handler passed on (the next step of a chain of queues)
        // runs before the next chunk, on this thread if no other is free:
        // reading on would hand it to a thread that must be woken first.
        if (DispatchQueue::isWorkWaiting()) {
          watch.continueOnQueue();
          return true;
        }
        continue;
      }
      if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
      // End of file, or a read error: the stream is over either way.
      if (!watch.isCancelled()) onChunk(std::string_view());
      return false;
    }
    return true;
  };
  return watchReadable(std::move(fd), std::move(queue), std::move(onReady));
}

std::size_t FdWatcher::activeWatchCount() { return detail::FdReactor::shared().count(); }

// ---- FdWatch ----

FdWatch::FdWatch(Passkey /*unused*/, std::uint64_t id, UniqueFd fd,
                 std::optional<DispatchQueue> queue, FdWatcher::ReadyHandler onReady)
    : id_(id),
      fdNumber_(fd.get()),
      queue_(std::move(queue)),
      fd_(std::move(fd)),
      onReady_(std::move(onReady)) {}

void FdWatch::ready() {
  if (queue_) {
    queue_->async([self = shared_from_this()] { self->turn(); });
  } else {
    turn();
  }
}

void FdWatch::turn() {
  const auto keep = shared_from_this();  // the watcher may forget this watch during the turn
  FdWatcher::ReadyHandler* handler = nullptr;
  {
    detail::ScopedLock<UnfairLock> guard(lock_);
    if (finished_ || isCancelled()) return;
    running_ = true;
    handler = &onReady_;  // stays put: only a finish moves it, and none runs while running_
  }
  const bool again = (*handler)(*this);
  const bool continueNow = std::exchange(continueOnQueue_, false) && queue_.has_value();
  FdWatcher::ReadyHandler released;
  detail::ScopedLock<UnfairLock> guard(lock_);
  running_ = false;
  if (again && !isCancelled()) {
    if (continueNow) {
      queue_->async([self = shared_from_this()] { self->turn(); });
      return;
    }
    if (detail::FdReactor::shared().rearm(*this)) return;
  }
  released = finishLocked();
}

void FdWatch::cancel() {
  const auto keep = shared_from_this();  // the watcher may hold the last reference
  FdWatcher::ReadyHandler released;      // destroyed after the lock
  detail::ScopedLock<UnfairLock> guard(lock_);
  if (finished_) return;
  cancelled_.store(true, std::memory_order_release);
  if (!running_) released = finishLocked();
}

bool FdWatch::isFinished() const {
  detail::ScopedLock<UnfairLock> guard(lock_);
  return finished_;
}

FdWatcher::ReadyHandler FdWatch::finishLocked() {
  finished_ = true;
  detail::FdReactor::shared().forget(*this);
  fd_.reset();
  return std::move(onReady_);
}

}  // namespace mornik
