#pragma once

#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/QoS.hpp"
#include "mornik/concurrency/detail/Executor.hpp"
#include "mornik/concurrency/detail/WorkItem.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

namespace detail {
std::uint64_t newSpecificKeyId() noexcept;
}  // namespace detail

// A key for values attached to queues (see DispatchQueue::setSpecific). Each
// key is distinct from every other key, including keys created later at the
// same address. Not copyable: pass it by reference.
template <class T>
class DispatchSpecificKey {
 public:
  DispatchSpecificKey() noexcept : id_(detail::newSpecificKeyId()) {}
  DispatchSpecificKey(const DispatchSpecificKey&) = delete;
  DispatchSpecificKey& operator=(const DispatchSpecificKey&) = delete;

  std::uint64_t id() const noexcept { return id_; }

 private:
  std::uint64_t id_;
};

// Flags of a submitted work item, for asyncAfter. What each does here:
// - barrier: the item runs alone on its queue. A serial queue runs every
//   item alone; the global queues, the only ones that run items together,
//   treat a barrier as plain work (so does the platform's dispatch library
//   for its global queues).
// - detached, assignCurrentContext: the library carries no execution context
//   from the submitter to the item, so there is nothing to detach or assign.
// - noQoS: the item's class of service is ignored.
// - inheritQoS: the queue's class wins over the item's.
// - enforceQoS: the item's class wins over the queue's, even when lower.
enum class WorkItemFlags : std::uint8_t {
  none = 0,
  barrier = 1 << 0,
  detached = 1 << 1,
  assignCurrentContext = 1 << 2,
  noQoS = 1 << 3,
  inheritQoS = 1 << 4,
  enforceQoS = 1 << 5,
};

constexpr WorkItemFlags operator|(WorkItemFlags a, WorkItemFlags b) noexcept {
  return static_cast<WorkItemFlags>(static_cast<std::uint8_t>(a) | static_cast<std::uint8_t>(b));
}
constexpr bool hasFlag(WorkItemFlags flags, WorkItemFlags flag) noexcept {
  return (static_cast<std::uint8_t>(flags) & static_cast<std::uint8_t>(flag)) != 0;
}

namespace detail {
// The class a global queue of class `queue` serves an item of class `item`
// at: by default the higher of the two.
constexpr QoS effectiveQoS(QoS queue, QoS item, WorkItemFlags flags) noexcept {
  const auto level = [](QoS qos) { return qos == QoS::unspecified ? QoS::default_ : qos; };
  if (item == QoS::unspecified || hasFlag(flags, WorkItemFlags::noQoS) ||
      hasFlag(flags, WorkItemFlags::inheritQoS)) {
    return level(queue);
  }
  if (hasFlag(flags, WorkItemFlags::enforceQoS)) return item;
  return level(item) > level(queue) ? item : level(queue);
}
}  // namespace detail

// A queue of work: the main queue, a global concurrent queue of a class of
// service, or a private serial queue.
//
//   auto io = mornik::DispatchQueue("app.io");           // a new serial queue
//   io.async([] { save(); });                            // later, on a worker
//   mornik::DispatchQueue::main().async([] { refresh(); });
//   int n = io.sync([] { return pending(); });           // waits, runs in order
//
// Ordering: a serial queue (the main queue included) runs its items one at a
// time, in submission order; work submitted before a sync runs before it. A
// global queue runs items concurrently, in no fixed order.
//
// async/asyncAfter never run the work inside the call, even when called from
// the target queue's own thread. Delayed work runs no earlier than its
// deadline on the monotonic clock. Writes made before a submission are
// visible to the submitted work.
//
// Execution: one pool of worker threads (as many as CPUs; more while workers
// block in sync, semaphores or groups) serves every queue, higher classes of
// service first; a serial queue runs on the pool in batches of at most 64
// items before it lets other queues in. The main queue runs only on the
// process's initial thread, while that thread runs its RunLoop.
//
// An exception escaping asynchronous work ends the process (there is no
// caller to receive it), as with std::thread; sync rethrows to its caller.
//
// Thread safety: every member may be called from any thread. A DispatchQueue
// is a cheap handle: copies refer to the same queue. Lifetime: work already
// submitted runs, in order, even after the last handle is gone.
class DispatchQueue {
 public:
  // The main queue: serial, drained by the main thread's RunLoop.
  static DispatchQueue main() { return DispatchQueue(detail::mainQueueRef()); }
  // The global concurrent queue of a class of service (unspecified means
  // default).
  static DispatchQueue global(QoS qos = QoS::default_) {
    return DispatchQueue(detail::globalQueueRef(qos));
  }

  // A new private serial queue. The label may be any text, including empty.
  explicit DispatchQueue(std::string label, QoS qos = QoS::unspecified);

  // Runs `work` later on this queue. Work that offers `void prefetch() const
  // noexcept` is asked, on the queue's thread, a few items before it runs
  // when it waits in a serial queue behind others, to prefetch what it will
  // touch (it must not read memory it does not own meanwhile).
  template <class F>
  void async(F&& work) const {
    impl_->enqueue(detail::makeWorkItem(std::forward<F>(work)));
  }

  // Runs `work` on this queue once `seconds` have passed. A delay of zero or
  // less (or -infinity) runs the work as soon as possible, like async. A NaN
  // or +infinity delay throws std::invalid_argument and submits nothing;
  // delays beyond a century are treated as a century.
  template <class F>
  void asyncAfter(double seconds, F&& work) const {
    checkDelay(seconds, "DispatchQueue::asyncAfter");
    if (!(seconds > 0)) {
      async(std::forward<F>(work));
      return;
    }
    const std::int64_t deadline = detail::monotonicNowNs() + detail::delayToNs(seconds);
    detail::enqueueAt(deadline, impl_, detail::makeWorkItem(std::forward<F>(work)));
  }

  // The same with the item's class of service and flags (see WorkItemFlags).
  // On a global queue the item is served at detail::effectiveQoS (by default
  // the higher of the queue's class and its own) and still runs as work of
  // this queue; a serial queue keeps its order, so there the item's class
  // and flags change nothing.
  template <class F>
  void asyncAfter(double seconds, QoS qos, WorkItemFlags flags, F&& work) const {
    const QoS served = detail::effectiveQoS(this->qos(), qos, flags);
    if (isSerial() || served == impl_->qos()) {
      asyncAfter(seconds, std::forward<F>(work));
      return;
    }
    DispatchQueue(detail::globalQueueRef(served))
        .asyncAfter(seconds, [queue = impl_, work = std::forward<F>(work)]() mutable {
          detail::FrameScope frame(queue.get());
          work();
        });
  }

  // The std::chrono forms: the same as the double forms with the delay in
  // seconds.
  template <class Rep, class Period, class F>
  void asyncAfter(std::chrono::duration<Rep, Period> delay, F&& work) const {
    asyncAfter(std::chrono::duration<double>(delay).count(), std::forward<F>(work));
  }
  template <class Rep, class Period, class F>
  void asyncAfter(std::chrono::duration<Rep, Period> delay, QoS qos, WorkItemFlags flags,
                  F&& work) const {
    asyncAfter(std::chrono::duration<double>(delay).count(), qos, flags, std::forward<F>(work));
  }

  // Runs `work` as an item of this queue on the calling thread, after the
  // items submitted before it, and returns its result (an exception from
  // `work` reaches the caller). On a global queue the work runs at once.
  //
  // Calling sync on a serial queue from work running on that queue (or on
  // the main queue from the main thread) would wait for ever: the process
  // aborts with a message saying so. So does a sync that would close a cycle
  // of blocking waits (work of queue A syncs onto B while B's work syncs
  // onto A, or waits for a future whose work is queued on A; see
  // BlockingWait): the message names the queues of the cycle.
  template <class F>
  std::decay_t<std::invoke_result_t<F&>> sync(F&& work) const {
    using R = std::decay_t<std::invoke_result_t<F&>>;
    if constexpr (std::is_void_v<R>) {
      auto run = [&] { std::invoke(work); };
      detail::StackWorkItem<decltype(run)> item(run);
      impl_->runSync(item);
    } else {
      std::optional<R> result;
      auto run = [&] { result.emplace(std::invoke(work)); };
      detail::StackWorkItem<decltype(run)> item(run);
      impl_->runSync(item);
      return std::move(*result);
    }
  }

  const std::string& label() const noexcept { return impl_->label(); }
  QoS qos() const noexcept { return impl_->qos(); }
  bool isMain() const noexcept { return impl_ == detail::mainQueueRef(); }
  bool isSerial() const noexcept { return impl_->kind() != detail::QueueImpl::Kind::global; }

  // The queue whose work the caller is running; on the main thread outside
  // any work, the main queue; else none.
  static std::optional<DispatchQueue> current();
  // The label of current(), or "" when there is none.
  static std::string currentLabel();
  // Whether work waits for a worker thread right now (a snapshot): long
  // work that can stop and resubmit itself lets that work go first.
  static bool isWorkWaiting() noexcept;

  // Attaches `value` to this queue under `key`; none removes it.
  template <class T>
  void setSpecific(const DispatchSpecificKey<T>& key,
                   std::type_identity_t<std::optional<T>> value) const {
    impl_->setSpecific(key.id(), value ? std::make_shared<const T>(std::move(*value)) : nullptr);
  }
  // The value this queue holds under `key`.
  template <class T>
  std::optional<T> specific(const DispatchSpecificKey<T>& key) const {
    return fromErased<T>(impl_->specific(key.id()));
  }
  // The value under `key` of the queue the caller is running on (current()).
  template <class T>
  static std::optional<T> getSpecific(const DispatchSpecificKey<T>& key) {
    detail::QueueImpl* queue = detail::currentQueue();
    if (queue == nullptr) return std::nullopt;
    return fromErased<T>(queue->specific(key.id()));
  }

  friend bool operator==(const DispatchQueue& a, const DispatchQueue& b) noexcept {
    return a.impl_ == b.impl_;
  }

  // The implementation, for the library's own executor parts.
  const detail::QueueRef& impl() const noexcept { return impl_; }
  explicit DispatchQueue(detail::QueueRef impl) noexcept : impl_(std::move(impl)) {}

 private:
  static void checkDelay(double seconds, const char* operation) {
    if (std::isnan(seconds) || seconds == HUGE_VAL) {
      throw std::invalid_argument(std::string(operation) + ": the delay is not finite");
    }
  }
  template <class T>
  static std::optional<T> fromErased(const std::shared_ptr<const void>& value) {
    if (!value) return std::nullopt;
    return *static_cast<const T*>(value.get());
  }

  detail::QueueRef impl_;
};

}  // namespace mornik

template <>
struct std::hash<mornik::DispatchQueue> {
  std::size_t operator()(const mornik::DispatchQueue& queue) const noexcept {
    return std::hash<const void*>()(queue.impl().get());
  }
};

MORNIK_EXPORTS_END
