#pragma once

// The executor behind DispatchQueue: queue implementations, the worker pool
// shared by all queues, the timer heap, and the per-thread record of which
// queue the thread is running. Internal: use DispatchQueue and RunLoop.

#include <array>
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/QoS.hpp"
#include "mornik/concurrency/UnfairLock.hpp"
#include "mornik/concurrency/detail/Clock.hpp"
#include "mornik/concurrency/detail/MpscList.hpp"
#include "mornik/concurrency/detail/WorkItem.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::detail {

class QueueImpl;
using QueueRef = std::shared_ptr<QueueImpl>;

// ---- Which queue this thread runs ----

// One level of "this thread is running work of `queue`". Levels nest: sync
// work and serial queues drained from a global item push a level on top.
struct QueueFrame {
  QueueImpl* queue;
  QueueFrame* outer;
};

extern thread_local constinit QueueFrame* tlsQueueFrame __attribute__((tls_model("initial-exec")));

class FrameScope {
 public:
  explicit FrameScope(QueueImpl* queue) noexcept : frame_{queue, tlsQueueFrame} {
    tlsQueueFrame = &frame_;
  }
  ~FrameScope() { tlsQueueFrame = frame_.outer; }
  FrameScope(const FrameScope&) = delete;
  FrameScope& operator=(const FrameScope&) = delete;

 private:
  QueueFrame frame_;
};

// The queue the calling thread runs work of: the innermost frame, or the
// main queue on the main thread outside any work, or null.
QueueImpl* currentQueue() noexcept;
// Whether `queue` is any level of the calling thread's frames.
bool isRunningOn(const QueueImpl* queue) noexcept;
// Whether the calling thread is the process's initial thread.
bool isMainThread() noexcept;

// Runs one item (and, for runAndRelease, frees it). An exception escaping
// queued work has nowhere to go: the process ends with a message naming the
// queue, as an exception escaping a std::thread does.
void invokeChecked(WorkItem* item, const QueueImpl* queue) noexcept;
void runAndRelease(WorkItem* item, const QueueImpl* queue) noexcept;

// ---- Queues ----

class QueueImpl : public std::enable_shared_from_this<QueueImpl> {
 public:
  enum class Kind : std::uint8_t { main, global, serial };

  QueueImpl(Kind kind, std::string label, QoS qos);
  virtual ~QueueImpl();
  QueueImpl(const QueueImpl&) = delete;
  QueueImpl& operator=(const QueueImpl&) = delete;

  Kind kind() const noexcept { return kind_; }
  const std::string& label() const noexcept { return label_; }
  QoS qos() const noexcept { return qos_; }

  // Asynchronous submission; never runs `item` inside this call.
  virtual void enqueue(WorkItem* item) = 0;
  // Runs `work` as an item of this queue, on the calling thread, once the
  // queue's earlier items ran; rethrows what `work` throws.
  virtual void runSync(WorkItem& work) = 0;

  void setSpecific(std::uint64_t key, std::shared_ptr<const void> value);
  std::shared_ptr<const void> specific(std::uint64_t key) const;

 private:
  const Kind kind_;
  const std::string label_;
  const QoS qos_;
  mutable UnfairLock specificsLock_;
  std::vector<std::pair<std::uint64_t, std::shared_ptr<const void>>> specifics_;
};

// A global concurrent queue: items go straight to the pool at its class.
class GlobalQueue final : public QueueImpl {
 public:
  GlobalQueue(std::string label, QoS qos);
  void enqueue(WorkItem* item) override;
  void runSync(WorkItem& work) override;
};

// A serial queue: a FIFO drained one item at a time, in bounded batches, by a
// pool worker (or, for the main queue, by the main run loop).
class SerialQueue final : public QueueImpl {
 public:
  SerialQueue(Kind kind, std::string label, QoS qos);
  ~SerialQueue() override;

  void enqueue(WorkItem* item) override;
  void runSync(WorkItem& work) override;

  // Main queue only: runs up to `budget` items on the calling (main) thread.
  // Returns whether items remain that this thread should drain.
  bool drainOnRunLoop(int budget);
  // Main queue only: whether the run loop has items to drain.
  bool hasWorkForRunLoop() const noexcept;

 private:
  struct SyncItem;
  struct DrainItem : WorkItem {
    SerialQueue* owner = nullptr;
  };
  enum class DrainEnd { empty, handedOff, budgetSpent };

  void schedule();
  void drainFromPool();
  // Runs items from `item` on, one at a time, until the queue is empty, a
  // sync caller takes it over, or `budget` items ran.
  DrainEnd drainFrom(WorkItem* item, int budget);
  void finishSync(WorkItem* syncItem);

  MpscList items_;
  DrainItem drainItem_;
  QueueRef keepAlive_;                  // held while scheduled on the pool
  std::atomic<bool> handedOff_{false};  // main queue: a sync caller owns it
};

// The process-wide queues; created on first use and never destroyed.
const QueueRef& mainQueueRef();
const QueueRef& globalQueueRef(QoS qos);

// Wakes the main run loop so that it drains the main queue (RunLoop.cpp).
void wakeMainRunLoop() noexcept;

// ---- Worker pool ----

// Marks the calling thread as blocked for the scope (waiting on a semaphore,
// a group, a sync). On a pool worker, the pool may start another worker so
// that queued work keeps running while this one waits.
class BlockingRegion {
 public:
  BlockingRegion() noexcept;
  ~BlockingRegion();
  BlockingRegion(const BlockingRegion&) = delete;
  BlockingRegion& operator=(const BlockingRegion&) = delete;

 private:
  bool active_;
};

// Hands a runnable item (a global item or a serial queue's drain) to the pool.
void submitToPool(WorkItem* item, QoS qos) noexcept;
// Whether runnable items wait in the pool (a snapshot).
bool poolHasQueuedWork() noexcept;
// A count that moves whenever a worker takes work from the pool.
std::uint64_t poolActivity() noexcept;
// For a thread that has been idle since it read poolActivity(): trims its
// own item caches, and the ones all threads share if the whole pool stayed
// quiet meanwhile and sleeps now (a worker left without work while others
// are busy would take from them the memory they are recycling). Returns
// false when the shared caches were left holding spare memory: an idle
// worker then tries again after another idle while.
bool trimItemCachesAfterIdle(std::uint64_t activityBefore) noexcept;

// Number of worker threads the pool runs normally (the CPU count).
int poolTargetSize() noexcept;
// Number of worker threads alive now (more than the target while some block,
// until the extra ones retire).
int poolWorkerCount() noexcept;

// ---- Timers ----

// Enqueues `item` on `queue` once the executor's clock (Clock.hpp) reaches
// `deadlineNs` (never earlier). With a null queue the item runs on the timer
// thread itself, on the real clock whatever a test installed: only for the
// executor's own short, non-blocking checks.
void enqueueAt(std::int64_t deadlineNs, QueueRef queue, WorkItem* item);

// Test clock only: removes from the timer heap every entry due by the clock
// now, in deadline order (submission order among equal deadlines), and
// passes each to `take(queue, item)` outside the heap's lock; the receiver
// enqueues the item. Returns how many it took.
int takeDueTimers(const std::function<void(const QueueRef&, WorkItem*)>& take);
// The earliest deadline in the timer heap, or kNoDeadline.
std::int64_t nextTimerDeadlineNs() noexcept;

}  // namespace mornik::detail

MORNIK_EXPORTS_END
