#include "mornik/reactor/FdWatcher.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "mornik/base/Error.hpp"
#include "mornik/concurrency/LockingProtocol.hpp"

namespace mornik {

namespace {

// What modify() and remove() return when the number no longer holds the
// watch's registration: a newer watch of the same number took it over.
constexpr int kNumberTakenOver = -1;
// The id the watcher's wake-up eventfd carries; watches count from 1.
constexpr std::uint64_t kWakeId = 0;

std::uint32_t epollMask(FdEvents interest) {
  std::uint32_t mask = EPOLLONESHOT;
  if (hasAny(interest, FdEvents::readable)) mask |= EPOLLIN | EPOLLRDHUP;
  if (hasAny(interest, FdEvents::writable)) mask |= EPOLLOUT;
  return mask;
}

FdEvents readiness(std::uint32_t mask) {
  FdEvents events = FdEvents::none;
  if ((mask & EPOLLIN) != 0) events = events | FdEvents::readable;
  if ((mask & EPOLLOUT) != 0) events = events | FdEvents::writable;
  if ((mask & (EPOLLHUP | EPOLLRDHUP)) != 0) events = events | FdEvents::hangUp;
  if ((mask & EPOLLERR) != 0) events = events | FdEvents::error;
  return events;
}

std::string descriptorText(int fd) { return "descriptor " + std::to_string(fd); }

Error closedWhileWatched(int fd) {
  return Error::fromErrno(EBADF, descriptorText(fd) + " was closed while it was watched");
}

// Why the watcher could not arm or remove a descriptor: closed (EBADF),
// holding another file now (ENOENT: epoll knows a registration by file and
// number), or taken over by a newer watch all mean it was closed behind the
// watch.
Error lostDescriptor(int fd, int error) {
  if (error == kNumberTakenOver || error == EBADF || error == ENOENT) {
    return closedWhileWatched(fd);
  }
  return Error::fromErrno(error, "cannot watch " + descriptorText(fd) + " again");
}

Error cannotWatch(int fd, int error) {
  if (error == EPERM) {
    return Error(std::string(kPOSIXErrorDomain), EPERM,
                 {{std::string(kLocalizedDescriptionKey),
                   "cannot watch " + descriptorText(fd) +
                       ": epoll refuses regular files and folders, which are always ready"}});
  }
  return Error::fromErrno(error, "cannot watch " + descriptorText(fd));
}

}  // namespace

namespace detail {

// The watcher's thread: one epoll instance for the whole process, the table
// from the ids carried by epoll events to their watches, and which watch
// each descriptor number is registered for. An event whose watch has ended
// (its id is gone) is ignored; ids are never reused. Work posted here (end
// notifications of watches without a queue) runs on the thread between
// events.
class FdReactor {
 public:
  static FdReactor& shared() {
    // Never destroyed: the thread runs for the life of the process.
    static auto* const reactor = new FdReactor();
    return *reactor;
  }

  Result<std::shared_ptr<FdWatch>> add(int fd, bool owned, FdWatcher::Options options,
                                       FdWatcher::Handler onReady) {
    UniqueFd ownedFd(owned ? fd : -1);  // closed on every failure below
    if (!epoll_) return *startError_;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return cannotWatch(fd, errno);
    const bool setNonBlocking = (owned || options.makeNonBlocking) && (flags & O_NONBLOCK) == 0;
    if (setNonBlocking && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
      return cannotWatch(fd, errno);
    }
    const FdEvents interest = options.interest;
    // Made outside the lock, and destroyed outside it when refused: the
    // handlers' captures are the caller's.
    auto watch = std::make_shared<FdWatch>(FdWatch::Passkey(), 0, fd, owned, std::move(options),
                                           std::move(onReady));
    int refused = 0;
    {
      // The registration and the tables change together, so that the first
      // event (maybe at once) finds its watch.
      std::lock_guard guard(lock_);
      watch->id_ = nextId_++;
      epoll_event event{};
      event.events = epollMask(interest);
      event.data.u64 = watch->id_;
      if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) == 0) {
        watches_.emplace(watch->id_, watch);
        // A watch that held this number before can no longer address its
        // registration by it: its descriptor was closed behind it.
        owners_[fd] = watch->id_;
        live_.fetch_add(1, std::memory_order_relaxed);
      } else {
        refused = errno;
      }
    }
    if (refused != 0) {
      if (!owned && setNonBlocking) ::fcntl(fd, F_SETFL, flags);
      return cannotWatch(fd, refused);
    }
    (void)ownedFd.release();  // the watch closes it now
    return watch;
  }

  // Arms the watch's descriptor for one readiness of `interest` (none: only
  // a hang-up or an error, which epoll always reports). 0 or the error.
  int modify(const FdWatch& watch, FdEvents interest) {
    std::lock_guard guard(lock_);
    if (!holdsNumber(watch)) return kNumberTakenOver;
    epoll_event event{};
    event.events = epollMask(interest);
    event.data.u64 = watch.id_;
    return ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, watch.fdNumber_, &event) == 0 ? 0 : errno;
  }

  // Forgets the watch and takes its descriptor out of the epoll set (before
  // an owned one is closed, so a reused number is never confused with it).
  // 0 or the error; the watch is forgotten either way.
  int remove(const FdWatch& watch) {
    std::shared_ptr<FdWatch> gone;  // released outside the lock
    std::lock_guard guard(lock_);
    if (auto found = watches_.find(watch.id_); found != watches_.end()) {
      gone = std::move(found->second);
      watches_.erase(found);
    }
    if (!holdsNumber(watch)) return kNumberTakenOver;
    owners_.erase(watch.fdNumber_);
    return ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, watch.fdNumber_, nullptr) == 0 ? 0 : errno;
  }

  // Release and acquire: who sees a watch counted out sees it done with its
  // descriptor.
  void ended() { live_.fetch_sub(1, std::memory_order_release); }
  std::size_t count() const { return live_.load(std::memory_order_acquire); }

  // Runs `work` on the watcher's thread, soon.
  void post(std::function<void()> work) {
    bool wake = false;
    {
      std::lock_guard guard(lock_);
      wake = posted_.empty();
      posted_.push_back(std::move(work));
    }
    if (wake) {
      const std::uint64_t one = 1;
      (void)!::write(wake_.get(), &one, sizeof one);
    }
  }

 private:
  FdReactor() : epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
    if (!epoll_) {
      startError_ = Error::fromErrno(errno, "epoll_create1");
      return;
    }
    wake_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kWakeId;
    if (!wake_ || ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, wake_.get(), &event) != 0) {
      startError_ = Error::fromErrno(errno, "eventfd");
      epoll_.reset();
      return;
    }
    try {
      std::thread([this] { loop(); }).detach();
    } catch (const std::system_error& error) {
      startError_ = Error::fromException(error);
      epoll_.reset();
    }
  }

  bool holdsNumber(const FdWatch& watch) const {
    const auto owner = owners_.find(watch.fdNumber_);
    return owner != owners_.end() && owner->second == watch.id_;
  }

  void runPosted() {
    std::uint64_t count = 0;
    (void)!::read(wake_.get(), &count, sizeof count);
    std::vector<std::function<void()>> work;
    {
      std::lock_guard guard(lock_);
      work.swap(posted_);
    }
    for (auto& item : work) item();
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
        if (id == kWakeId) {
          runPosted();
          continue;
        }
        std::shared_ptr<FdWatch> watch;
        {
          std::lock_guard guard(lock_);
          if (auto found = watches_.find(id); found != watches_.end()) watch = found->second;
        }
        if (watch) watch->ready(readiness(events[i].events));
      }
    }
  }

  UniqueFd epoll_;
  UniqueFd wake_;
  std::optional<Error> startError_ = WTF("the file-descriptor watcher did not start", 0);
  mutable std::mutex lock_;
  std::unordered_map<std::uint64_t, std::shared_ptr<FdWatch>> watches_;
  std::unordered_map<int, std::uint64_t> owners_;
  std::vector<std::function<void()>> posted_;
  std::uint64_t nextId_ = kWakeId + 1;
  std::atomic<std::size_t> live_{0};
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

Result<std::shared_ptr<FdWatch>> FdWatcher::watch(UniqueFd fd, Options options, Handler onReady) {
  return detail::FdReactor::shared().add(fd.release(), true, std::move(options),
                                         std::move(onReady));
}

Result<std::shared_ptr<FdWatch>> FdWatcher::watchBorrowed(int fd, Options options,
                                                          Handler onReady) {
  return detail::FdReactor::shared().add(fd, false, std::move(options), std::move(onReady));
}

Result<std::shared_ptr<FdWatch>> FdWatcher::readChunks(UniqueFd fd,
                                                       std::optional<DispatchQueue> queue,
                                                       ChunkHandler onChunk, EndHandler onEnd,
                                                       std::size_t mostPerChunk) {
  mostPerChunk = std::max<std::size_t>(mostPerChunk, 1);
  // Without a queue, one chunk per turn: the watcher's thread does bounded work.
  const int chunksPerTurn = queue ? kReadsPerTurn : 1;
  // `capacity` (the most the next chunk may take) starts at 64 KiB and
  // doubles up to the limit as reads fill it; the bytes go into the running
  // thread's buffer, so memory follows the threads that read, not the
  // number of watches.
  auto onReady = [onChunk = std::move(onChunk), mostPerChunk, chunksPerTurn,
                  capacity = std::min(kChunkSize, mostPerChunk),
                  widened = std::make_shared<detail::WidenedPipe>()](FdWatch& watch,
                                                                     FdEvents /*ready*/) mutable {
    std::vector<char>& buffer = detail::chunkBuffer();
    for (int chunks = 0; chunks < chunksPerTurn;) {
      if (watch.isCancelled()) return false;
      // One chunk: reads of up to kChunkSize (a pipe's writer waits while a
      // read copies) for as long as the descriptor has more at once.
      std::size_t filled = 0;
      ssize_t got = 0;
      int error = 0;
      for (;;) {
        if (buffer.size() < capacity) buffer.resize(capacity);
        const std::size_t want = std::min(kChunkSize, capacity - filled);
        got = ::read(watch.fd(), buffer.data() + filled, want);
        if (got < 0) error = errno;
        if (got < 0 && error == EINTR) continue;
        if (got <= 0) break;
        filled += static_cast<std::size_t>(got);
        if (static_cast<std::size_t>(got) < want || filled == capacity) break;
      }
      if (filled > 0) {
        if (filled >= kChunkSize) widened->widen(watch.fd());
        onChunk(std::string_view(buffer.data(), filled));
        if (filled == capacity) capacity = std::min(capacity * 2, mostPerChunk);
        ++chunks;
      }
      if (got < 0 && error != EAGAIN && error != EWOULDBLOCK) {
        // Reported once (a socket's pending error is cleared by the read
        // that returns it): it ends the stream now, after its data.
        watch.fail(Error::fromErrno(error, "cannot read descriptor " + std::to_string(watch.fd())));
        return false;
      }
      if (filled == 0) return got != 0;  // nothing now, or the end of the stream
      // What the handler passed on (the next step of a chain of queues)
      // runs before the next chunk, on this thread if no other is free:
      // reading on would hand it to a thread that must be woken first.
      if (DispatchQueue::isWorkWaiting()) {
        watch.continueOnQueue();
        return true;
      }
    }
    return true;
  };
  Options options;
  options.queue = std::move(queue);
  options.onEnd = std::move(onEnd);
  return watch(std::move(fd), std::move(options), std::move(onReady));
}

std::size_t FdWatcher::activeWatchCount() { return detail::FdReactor::shared().count(); }

// ---- FdWatch ----

struct FdWatch::Ended {
  FdWatcher::Handler handler;
  FdWatcher::EndHandler onEnd;
  Result<void> result;
};

FdWatch::FdWatch(Passkey /*unused*/, std::uint64_t id, int fd, bool owned,
                 FdWatcher::Options options, FdWatcher::Handler onReady)
    : id_(id),
      fdNumber_(fd),
      owned_(owned),
      queue_(std::move(options.queue)),
      interest_(options.interest),
      onReady_(std::move(onReady)),
      onEnd_(std::move(options.onEnd)) {}

FdWatch::~FdWatch() = default;

void FdWatch::ready(FdEvents events) {
  {
    detail::ScopedLock<UnfairLock> guard(lock_);
    // A turn in flight re-arms the descriptor when it ends (a readiness
    // that still holds is then reported again); a paused watch waits for
    // setInterest.
    if (finished_ || turn_ != Turn::idle || interest_ == FdEvents::none) return;
    turn_ = Turn::queued;
  }
  if (queue_) {
    queue_->async([self = shared_from_this(), events] { self->turn(events); });
  } else {
    turn(events);
  }
}

void FdWatch::turn(FdEvents events) {
  const auto keep = shared_from_this();  // the watcher may forget this watch during the turn
  auto& reactor = detail::FdReactor::shared();
  FdWatcher::Handler* handler = nullptr;
  Ended ended;
  {
    detail::ScopedLock<UnfairLock> guard(lock_);
    if (finished_) return;  // queued before a cancel that ended the watch
    // A borrowed number may hold another file by now (the old one kept
    // alive elsewhere still reports): only a number still registered for
    // this watch's file is handed to the handler. The check arms nothing
    // the handler could race with (epoll's hang-up and error only, which
    // this turn's re-arm reports again anyway).
    const int check = owned_ ? 0 : reactor.modify(*this, FdEvents::none);
    if (check == 0) {
      turn_ = Turn::running;
      handler = &onReady_;  // stays put: only a finish moves it, and none runs while running
    } else {
      ended = finishLocked(lostDescriptor(fdNumber_, check));
    }
  }
  if (handler == nullptr) {
    finished(std::move(ended), true);
    return;
  }
  const bool again = (*handler)(*this, events);
  const bool continueNow = std::exchange(continueOnQueue_, false) && queue_.has_value();
  {
    detail::ScopedLock<UnfairLock> guard(lock_);
    turn_ = Turn::idle;
    if (!again || isCancelled()) {
      ended = finishLocked(Result<void>());
    } else if (continueNow) {
      turn_ = Turn::queued;
      queue_->async([self = shared_from_this(), events] { self->turn(events); });
      return;
    } else if (interest_ == FdEvents::none) {
      return;  // paused: setInterest arms it again
    } else {
      const int armed = reactor.modify(*this, interest_);
      if (armed == 0) return;
      ended = finishLocked(lostDescriptor(fdNumber_, armed));
    }
  }
  finished(std::move(ended), true);
}

void FdWatch::setInterest(FdEvents interest) {
  const auto keep = shared_from_this();
  Ended ended;
  {
    detail::ScopedLock<UnfairLock> guard(lock_);
    interest_ = interest;
    // A turn in flight arms the new interest when it ends; with none, a
    // readiness of the old one finds the watch paused and is dropped.
    if (finished_ || isCancelled() || turn_ != Turn::idle || interest == FdEvents::none) return;
    const int armed = detail::FdReactor::shared().modify(*this, interest);
    if (armed == 0) return;
    ended = finishLocked(lostDescriptor(fdNumber_, armed));
  }
  finished(std::move(ended), false);
}

FdEvents FdWatch::interest() const {
  detail::ScopedLock<UnfairLock> guard(lock_);
  return interest_;
}

void FdWatch::cancel() {
  const auto keep = shared_from_this();  // the watcher may hold the last reference
  Ended ended;
  {
    detail::ScopedLock<UnfairLock> guard(lock_);
    if (finished_ || isCancelled()) return;
    cancelled_.store(true, std::memory_order_release);
    if (turn_ == Turn::running) {
      // Out of the watcher now, while the number surely holds this watch's
      // file (the handler may close a borrowed one before it returns); the
      // turn ends the watch when the handler returns.
      unregisterLocked();
      return;
    }
    ended = finishLocked(Result<void>());
  }
  finished(std::move(ended), false);
}

void FdWatch::fail(Error error) {
  {
    detail::ScopedLock<UnfairLock> guard(lock_);
    if (finished_) return;
    keepFailureLocked(std::move(error));
  }
  cancel();
}

bool FdWatch::isFinished() const {
  detail::ScopedLock<UnfairLock> guard(lock_);
  return finished_;
}

void FdWatch::keepFailureLocked(const Result<void>& result) {
  if (result.isFailure() && !failure_) failure_ = result.error();
}

void FdWatch::unregisterLocked() {
  registered_ = false;
  const int removed = detail::FdReactor::shared().remove(*this);
  // A number that no longer holds this watch's file is not this watch's to close.
  mayClose_ = removed == 0;
  if (removed != 0) keepFailureLocked(lostDescriptor(fdNumber_, removed));
}

FdWatch::Ended FdWatch::finishLocked(const Result<void>& result) {
  finished_ = true;
  keepFailureLocked(result);
  if (registered_) unregisterLocked();
  if (owned_ && mayClose_) ::close(fdNumber_);
  detail::FdReactor::shared().ended();
  Ended ended{std::move(onReady_), std::move(onEnd_), Result<void>()};
  if (failure_) ended.result = *failure_;
  return ended;
}

void FdWatch::finished(Ended ended, bool onWatchQueueNow) {
  ended.handler = nullptr;  // what it holds goes before the end is announced
  if (!ended.onEnd) return;
  if (onWatchQueueNow) {
    ended.onEnd(ended.result);
    return;
  }
  auto deliver = [onEnd = std::move(ended.onEnd), result = std::move(ended.result)] {
    onEnd(result);
  };
  if (queue_) {
    queue_->async(std::move(deliver));
  } else {
    detail::FdReactor::shared().post(std::move(deliver));
  }
}

}  // namespace mornik
