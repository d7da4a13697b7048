#include "mornik/concurrency/RunLoop.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "mornik/base/Fatal.hpp"
#include "mornik/concurrency/detail/Executor.hpp"
#include "mornik/concurrency/detail/Futex.hpp"
#include "mornik/concurrency/detail/HostLoopDrain.hpp"

namespace mornik {

namespace {

constexpr std::int64_t kForever = detail::kNoDeadline;
// Main-queue items run per pass before timers get their turn.
constexpr int kMainQueueBatch = 4096;
// runUntil re-checks its predicate at least this often.
constexpr std::int64_t kPredicatePollNs = 1'000'000;
// After this long without work the loop's thread hands back the work-item
// blocks its caches hold (once per idle stretch), as idle workers do.
constexpr std::int64_t kTrimIdleNs = 1'000'000'000;
constexpr std::int64_t kMinimumTimerIntervalNs = 100'000;

const std::shared_ptr<RunLoop>& mainLoopRef() {
  static const auto* const loop = new std::shared_ptr<RunLoop>(
      std::make_shared<RunLoop>(RunLoop::Passkey{}, true, static_cast<std::uint32_t>(::getpid())));
  return *loop;
}

thread_local std::shared_ptr<RunLoop> tlsRunLoop;

detail::SerialQueue& mainSerialQueue() {
  return static_cast<detail::SerialQueue&>(*detail::mainQueueRef());
}

}  // namespace

namespace detail {
void wakeMainRunLoop() noexcept { mainLoopRef()->wakeUp(); }
}  // namespace detail

RunLoop::RunLoop(Passkey /*unused*/, bool isMain, std::uint32_t ownerTag) noexcept
    : isMain_(isMain), ownerTag_(ownerTag) {}

RunLoop& RunLoop::current() {
  if (!tlsRunLoop) {
    tlsRunLoop = detail::isMainThread()
                     ? mainLoopRef()
                     : std::make_shared<RunLoop>(Passkey{}, false, detail::currentThreadTag());
  }
  return *tlsRunLoop;
}

RunLoop& RunLoop::main() { return *mainLoopRef(); }

void RunLoop::checkOwner() const {
  // The main loop belongs to whichever thread is the process's initial one
  // (in a forked child, the forking thread).
  if (isMain_ ? !detail::isMainThread() : detail::currentThreadTag() != ownerTag_) {
    detail::fatal("RunLoop: a run loop may only be run by its own thread");
  }
}

void RunLoop::run() { (void)runCore(kForever, nullptr); }

void RunLoop::runFor(double seconds) {
  if (std::isnan(seconds)) throw std::invalid_argument("RunLoop::runFor: the duration is NaN");
  const std::int64_t deadline =
      seconds == HUGE_VAL ? kForever : detail::monotonicNowNs() + detail::delayToNs(seconds);
  (void)runCore(deadline, nullptr);
}

bool RunLoop::runUntil(const std::function<bool()>& predicate, double timeoutSeconds) {
  if (std::isnan(timeoutSeconds)) {
    throw std::invalid_argument("RunLoop::runUntil: the timeout is NaN");
  }
  const std::int64_t deadline = timeoutSeconds == HUGE_VAL
                                    ? kForever
                                    : detail::monotonicNowNs() + detail::delayToNs(timeoutSeconds);
  return runCore(deadline, &predicate);
}

void RunLoop::stop() noexcept {
  stopRequested_.store(true, std::memory_order_seq_cst);
  wakeUp();
}

void RunLoop::wakeUp() noexcept {
  epoch_.fetch_add(1, std::memory_order_seq_cst);
  if (sleeping_.load(std::memory_order_seq_cst)) detail::futexWake(epoch_, 1);
  if (isMain_) detail::HostLoopDrain::signal();
}

bool RunLoop::runCore(std::int64_t deadline, const std::function<bool()>* predicate) {
  checkOwner();
  for (bool firstPass = true;; firstPass = false) {
    if (predicate != nullptr && (*predicate)()) return true;
    if (stopRequested_.exchange(false, std::memory_order_seq_cst)) return false;
    if (!firstPass && detail::monotonicNowNs() >= deadline) return false;

    bool moreQueued = false;
    const bool busy = isMain_ && !drainingMain_ && mainSerialQueue().hasWorkForRunLoop();
    if (isMain_ && !drainingMain_) {
      drainingMain_ = true;
      struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
      } reset{drainingMain_};
      moreQueued = mainSerialQueue().drainOnRunLoop(kMainQueueBatch);
    }
    if (busy) {
      busyAtNs_ = detail::monotonicNowNs();
      poolActivityAtBusy_ = detail::poolActivity();
      cachesTrimmed_ = false;
    }
    const std::int64_t nextTimer = fireDueTimers();
    if (predicate != nullptr && (*predicate)()) return true;
    if (moreQueued) continue;

    const std::int64_t now = detail::monotonicNowNs();
    if (!busy && !cachesTrimmed_ && now - busyAtNs_ >= kTrimIdleNs) {
      detail::trimItemCachesAfterIdle(poolActivityAtBusy_);
      cachesTrimmed_ = true;
    }
    if (now >= deadline) return false;
    std::int64_t wakeAt = std::min(deadline, nextTimer);
    if (predicate != nullptr) wakeAt = std::min(wakeAt, now + kPredicatePollNs);
    if (!cachesTrimmed_) wakeAt = std::min(wakeAt, busyAtNs_ + kTrimIdleNs);

    const std::uint32_t epoch = epoch_.load(std::memory_order_seq_cst);
    sleeping_.store(true, std::memory_order_seq_cst);
    const bool pending = stopRequested_.load(std::memory_order_seq_cst) ||
                         (isMain_ && !drainingMain_ && mainSerialQueue().hasWorkForRunLoop());
    if (!pending) detail::futexWaitUntil(epoch_, epoch, wakeAt);
    sleeping_.store(false, std::memory_order_relaxed);
  }
}

namespace detail {

std::int64_t HostLoopDrain::drain(bool& moreQueued) {
  RunLoop& loop = RunLoop::main();
  moreQueued = false;
  if (!loop.drainingMain_) {
    loop.drainingMain_ = true;
    struct Reset {
      bool& flag;
      ~Reset() { flag = false; }
    } reset{loop.drainingMain_};
    moreQueued = mainSerialQueue().drainOnRunLoop(kMainQueueBatch);
  }
  return loop.fireDueTimers();
}

}  // namespace detail

std::int64_t RunLoop::fireDueTimers() {
  using Guard = detail::ScopedLock<UnfairLock>;
  std::vector<std::shared_ptr<RunLoopTimer>> due;
  const std::int64_t now = detail::monotonicNowNs();
  {
    Guard guard(timersLock_);
    std::erase_if(timers_, [](const auto& timer) { return !timer->isValid(); });
    for (const auto& timer : timers_) {
      if (timer->nextFireNs_ <= now) due.push_back(timer);
    }
  }
  for (const auto& timer : due) {
    if (!timer->isValid()) continue;
    if (timer->repeats_) {
      Guard guard(timersLock_);
      // Keep the schedule; ticks missed while busy collapse into this one.
      const std::int64_t behind = now - timer->nextFireNs_;
      timer->nextFireNs_ += (behind / timer->intervalNs_ + 1) * timer->intervalNs_;
    } else {
      timer->valid_.store(false, std::memory_order_release);
    }
    timer->block_(*timer);
    if (!timer->isValid()) timer->block_ = nullptr;
  }
  Guard guard(timersLock_);
  std::int64_t next = kForever;
  for (const auto& timer : timers_) {
    if (timer->isValid()) next = std::min(next, timer->nextFireNs_);
  }
  return next;
}

void RunLoop::attach(std::shared_ptr<RunLoopTimer> timer) {
  {
    detail::ScopedLock<UnfairLock> guard(timersLock_);
    timers_.push_back(std::move(timer));
  }
  wakeUp();
}

RunLoopTimer::RunLoopTimer(Passkey /*unused*/, std::int64_t intervalNs, bool repeats, Block block)
    : intervalNs_(intervalNs), repeats_(repeats), block_(std::move(block)) {}

std::shared_ptr<RunLoopTimer> RunLoopTimer::scheduled(double interval, bool repeats, Block block) {
  if (!std::isfinite(interval)) {
    throw std::invalid_argument("RunLoopTimer: the interval is not finite");
  }
  const std::int64_t intervalNs = std::max(kMinimumTimerIntervalNs, detail::delayToNs(interval));
  auto timer = std::make_shared<RunLoopTimer>(Passkey{}, intervalNs, repeats, std::move(block));
  RunLoop& loop = RunLoop::current();
  timer->loop_ = loop.weak_from_this();
  timer->nextFireNs_ = detail::monotonicNowNs() + intervalNs;
  loop.attach(timer);
  return timer;
}

void RunLoopTimer::invalidate() noexcept {
  valid_.store(false, std::memory_order_release);
  if (auto loop = loop_.lock()) loop->wakeUp();
}

}  // namespace mornik
