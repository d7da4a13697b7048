#include "mornik/concurrency/HostLoop.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>

#include <sys/eventfd.h>
#include <unistd.h>

#include "mornik/concurrency/detail/Clock.hpp"
#include "mornik/concurrency/detail/Executor.hpp"
#include "mornik/concurrency/detail/HostLoopDrain.hpp"

namespace mornik {

namespace {

// The descriptor is made once and kept: hosts may still poll it while the
// last attachment goes.
std::atomic<int> gFd{-1};
std::mutex gFdMutex;
// Attached hosts; the descriptor is written only while this is not zero.
std::atomic<int> gAttached{0};
// Set when the descriptor was written and not yet reset by a drain, so a
// burst of wake-ups costs one write.
std::atomic<bool> gSignalled{false};

void writeFd(int fd) noexcept {
  const std::uint64_t one = 1;
  // Only a counter at its maximum refuses a write, and then it is readable.
  while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void signalNow() noexcept {
  const int fd = gFd.load(std::memory_order_acquire);
  if (fd >= 0 && !gSignalled.exchange(true, std::memory_order_seq_cst)) writeFd(fd);
}

int ensureFd() {
  int fd = gFd.load(std::memory_order_acquire);
  if (fd >= 0) return fd;
  const std::lock_guard<std::mutex> guard(gFdMutex);
  fd = gFd.load(std::memory_order_acquire);
  if (fd < 0) {
    fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd >= 0) gFd.store(fd, std::memory_order_release);
  }
  return fd;
}

}  // namespace

namespace detail {

void HostLoopDrain::signal() noexcept {
  if (gAttached.load(std::memory_order_seq_cst) == 0) return;
  signalNow();
}

}  // namespace detail

HostLoopAttachment::HostLoopAttachment(HostLoopAttachment&& other) noexcept : fd_(other.fd_) {
  other.fd_ = -1;
}

HostLoopAttachment& HostLoopAttachment::operator=(HostLoopAttachment&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) gAttached.fetch_sub(1, std::memory_order_seq_cst);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

HostLoopAttachment::~HostLoopAttachment() {
  if (fd_ >= 0) gAttached.fetch_sub(1, std::memory_order_seq_cst);
}

Result<HostLoopAttachment> attachHostLoop() {
  const int fd = ensureFd();
  if (fd < 0) return Error::fromErrno(errno, "attachHostLoop: eventfd");
  gAttached.fetch_add(1, std::memory_order_seq_cst);
  // Wake-ups while no host was attached wrote nothing: the first drain
  // catches up on them.
  gSignalled.store(false, std::memory_order_seq_cst);
  signalNow();
  return HostLoopAttachment(HostLoopAttachment::Passkey{}, fd);
}

bool isMainThread() noexcept { return detail::isMainThread(); }

Result<MainQueueDrain> drainMainQueue() {
  if (!detail::isMainThread()) {
    return WTF("drainMainQueue: the main queue can only be drained on the main thread", EPERM);
  }
  // Reset before draining: what is queued before the reset the drain sees,
  // and a wake-up after it writes again.
  const int fd = gFd.load(std::memory_order_acquire);
  if (fd >= 0) {
    std::uint64_t count = 0;
    while (::read(fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
  }
  gSignalled.store(false, std::memory_order_seq_cst);

  MainQueueDrain drained;
  const std::int64_t next = detail::HostLoopDrain::drain(drained.moreQueued);
  if (drained.moreQueued) detail::HostLoopDrain::signal();
  if (next != detail::kNoDeadline) {
    const std::int64_t in = std::max<std::int64_t>(0, next - detail::monotonicNowNs());
    drained.nextTimer = std::chrono::steady_clock::now() + std::chrono::nanoseconds(in);
  }
  return drained;
}

}  // namespace mornik
