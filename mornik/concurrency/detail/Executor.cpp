#include "mornik/concurrency/detail/Executor.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <ctime>
#include <limits>
#include <thread>

#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "mornik/base/Fatal.hpp"
#include "mornik/concurrency/BlockingWait.hpp"
#include "mornik/concurrency/detail/Futex.hpp"
#include "mornik/concurrency/detail/TestHooks.hpp"

namespace mornik {

std::string_view qosName(QoS qos) noexcept {
  switch (qos) {
    case QoS::background:
      return "background";
    case QoS::utility:
      return "utility";
    case QoS::default_:
      return "default";
    case QoS::userInitiated:
      return "userInitiated";
    case QoS::userInteractive:
      return "userInteractive";
    case QoS::unspecified:
      return "unspecified";
  }
  return "unspecified";
}

}  // namespace mornik

namespace mornik::detail {

namespace {

constexpr int kLevels = 5;
// Items a worker takes from a long list at once (one lock round trip).
constexpr int kPopBatch = 8;
// Items a serial queue runs per turn on a worker before it yields the worker
// to other queues (it goes to the back of its class).
constexpr int kSerialBatch = 64;
// Pauses a serial queue's drainer waits, within a burst, for the next item
// before it lets the queue go empty (about a microsecond).
constexpr int kBurstPatience = 24;
// How long an idle worker keeps looking for work before it sleeps.
constexpr std::int64_t kWorkerSpinNs = 20'000;
// An extra worker (started while others were blocked) retires after this long
// without work.
constexpr std::int64_t kSurplusIdleNs = 1'000'000'000;
// A worker that found no work for this long hands the work-item blocks its
// thread caches back (once per idle stretch, and the shared caches too
// once the whole pool is quiet): a quiet process returns to the same
// footprint however busy it was, while busy stretches, however bursty, keep
// recycling blocks.
constexpr std::int64_t kTrimIdleNs = 1'000'000'000;
// After a trim that found the pool busy, the next try comes this much later.
constexpr std::int64_t kTrimRetryNs = 100'000'000;
// How long work submitted by a busy worker may wait untaken before another
// worker is woken for it. While the checks keep finding the work taken (a
// worker passing work to itself, as a stream's reader does), the delay
// doubles up to the second figure, so that a steady flow of work does not
// keep the timer thread waking thousands of times a second; the first check
// that has to wake a worker sets it back.
constexpr std::int64_t kStarvationCheckNs = 50'000;
constexpr std::int64_t kStarvationCheckMostNs = 1'000'000;
// The timer thread spins through the last stretch before a deadline rather
// than trusting a sleep's timeout to end on time (it costs at most this much
// CPU per timer event).
constexpr std::int64_t kTimerSpinNs = 50'000;

int levelOf(QoS qos) noexcept {
  return qos == QoS::unspecified ? static_cast<int>(QoS::default_) : static_cast<int>(qos);
}

void nameThisThread(const std::string& name) noexcept {
  // Thread names are limited to 15 bytes.
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

thread_local constinit bool tlsIsWorker = false;

}  // namespace

std::atomic<TestHook> gTestHook{nullptr};

// ---- Frames ----

thread_local constinit QueueFrame* tlsQueueFrame __attribute__((tls_model("initial-exec"))) =
    nullptr;

namespace {
// The initial thread's kernel id is the process id; in a forked child the
// forking thread is the initial thread of the new process.
std::atomic<std::uint32_t> gMainThreadTag{static_cast<std::uint32_t>(::getpid())};
}  // namespace

bool isMainThread() noexcept {
  return currentThreadTag() == gMainThreadTag.load(std::memory_order_relaxed);
}

QueueImpl* currentQueue() noexcept {
  if (tlsQueueFrame != nullptr) return tlsQueueFrame->queue;
  if (isMainThread()) return mainQueueRef().get();
  return nullptr;
}

bool isRunningOn(const QueueImpl* queue) noexcept {
  for (const QueueFrame* frame = tlsQueueFrame; frame != nullptr; frame = frame->outer) {
    if (frame->queue == queue) return true;
  }
  return false;
}

void invokeChecked(WorkItem* item, const QueueImpl* queue) noexcept {
  try {
    item->run();
  } catch (const std::exception& error) {
    const std::string message =
        "an exception escaped work on queue \"" + queue->label() + "\": " + error.what();
    fatal(message.c_str());
  } catch (...) {
    const std::string message = "an exception escaped work on queue \"" + queue->label() + "\"";
    fatal(message.c_str());
  }
}

void runAndRelease(WorkItem* item, const QueueImpl* queue) noexcept {
  // Read before running: a serial queue's drain item lives inside the queue,
  // which may be gone once its drain returns.
  auto* const act = item->act;
  invokeChecked(item, queue);
  act(item, WorkItem::Act::release);
}

// ---- Queues ----

QueueImpl::QueueImpl(Kind kind, std::string label, QoS qos)
    : kind_(kind), label_(std::move(label)), qos_(qos) {}

QueueImpl::~QueueImpl() = default;

void QueueImpl::setSpecific(std::uint64_t key, std::shared_ptr<const void> value) {
  std::shared_ptr<const void> replaced;  // released outside the lock
  specificsLock_.locked([&] {
    auto found = std::find_if(specifics_.begin(), specifics_.end(),
                              [&](const auto& entry) { return entry.first == key; });
    if (found != specifics_.end()) {
      replaced = std::move(found->second);
      if (value) {
        found->second = std::move(value);
      } else {
        specifics_.erase(found);
      }
    } else if (value) {
      specifics_.emplace_back(key, std::move(value));
    }
  });
}

std::shared_ptr<const void> QueueImpl::specific(std::uint64_t key) const {
  return specificsLock_.locked([&]() -> std::shared_ptr<const void> {
    for (const auto& [k, v] : specifics_) {
      if (k == key) return v;
    }
    return nullptr;
  });
}

GlobalQueue::GlobalQueue(std::string label, QoS qos)
    : QueueImpl(Kind::global, std::move(label), qos) {}

void GlobalQueue::enqueue(WorkItem* item) { submitToPool(item, qos()); }

void GlobalQueue::runSync(WorkItem& work) {
  FrameScope frame(this);
  work.run();
}

// A sync caller's place in a serial queue. When the drainer reaches it, the
// drainer stops and hands the queue to the waiting caller, which runs its
// work on its own thread and then passes the queue on.
struct SerialQueue::SyncItem : WorkItem {
  SyncItem() { act = &marker; }
  // Never run or released: the drainer stops at it.
  static void marker(WorkItem* /*unused*/, Act /*unused*/) {}
  static bool is(const WorkItem* item) noexcept { return item->act == &marker; }

  void handOff() noexcept {
    ready.store(1, std::memory_order_release);
    // The waiter may already have returned and its item gone out of scope; a
    // wake-up on a stale address only causes a spurious wake-up elsewhere.
    futexWake(ready, 1);
  }
  void waitForHandOff() noexcept {
    for (int i = 0; i < 200 && ready.load(std::memory_order_acquire) == 0; ++i) cpuRelax();
    while (ready.load(std::memory_order_acquire) == 0) futexWait(ready, 0);
  }

  std::atomic<std::uint32_t> ready{0};
};

SerialQueue::SerialQueue(Kind kind, std::string label, QoS qos)
    : QueueImpl(kind, std::move(label), qos) {
  drainItem_.owner = this;
  drainItem_.act = [](WorkItem* item, WorkItem::Act what) {
    if (what == WorkItem::Act::run) static_cast<DrainItem*>(item)->owner->drainFromPool();
  };
}

SerialQueue::~SerialQueue() {
  // Only reachable when no handle, timer or scheduled drain holds the queue,
  // so nothing is left to run; free what a racing shutdown might have left.
  WorkItem* item = items_.front();
  while (item != nullptr) {
    WorkItem* next = items_.popFront(item);
    if (!SyncItem::is(item)) item->release();
    item = next;
  }
}

void SerialQueue::enqueue(WorkItem* item) {
  if (items_.push(item)) schedule();
}

void SerialQueue::schedule() {
  if (kind() == Kind::main) {
    wakeMainRunLoop();
    return;
  }
  testPoint(TestPoint::serialScheduled, this);
  keepAlive_ = shared_from_this();
  submitToPool(&drainItem_, qos());
}

void SerialQueue::drainFromPool() {
  QueueRef self = std::move(keepAlive_);
  // A batch bounds how long this queue holds the worker while other work
  // waits; when nothing else is queued, the worker stays with this queue.
  while (drainFrom(items_.front(), kSerialBatch) == DrainEnd::budgetSpent) {
    if (poolHasQueuedWork()) {
      keepAlive_ = std::move(self);
      submitToPool(&drainItem_, qos());
      return;
    }
  }
}

namespace {

// Walks ahead of a serial queue's drain and asks each coming item, a few
// items before it runs, to prefetch what it will touch. When a long queue
// drains, what an item refers to has usually left the cache since it was
// queued; fetched ahead, it arrives while the items before it run, instead
// of stalling its own. An item's own line is fetched first, further ahead,
// since asking it reads it.
class Lookahead {
 public:
  // Called with each item, in order, just before it runs.
  void before(WorkItem* running) noexcept {
    if (edge_ < run_) {
      edge_ = run_;
      at(edge_) = running;
    }
    while (edge_ < run_ + kFar) {
      WorkItem* next = at(edge_)->next.load(std::memory_order_acquire);
      if (next == nullptr) break;
      at(++edge_) = next;
      __builtin_prefetch(next, 0, 3);
    }
    if (run_ + kNear <= edge_) at(run_ + kNear)->prefetch();
    ++run_;
  }

 private:
  static constexpr long kNear = 4;   // items ahead: asked to prefetch
  static constexpr long kFar = 8;    // items ahead: the item itself fetched
  static constexpr long kRing = 16;  // > kFar, a power of two

  WorkItem*& at(long seq) noexcept { return ring_[static_cast<std::size_t>(seq & (kRing - 1))]; }

  // The items from the running one to edge_, by sequence number. Only this
  // drain frees them, after they ran, so they stay valid ahead of it.
  std::array<WorkItem*, kRing> ring_{};
  long run_ = 0;    // the item about to run
  long edge_ = -1;  // the farthest item seen
};

}  // namespace

SerialQueue::DrainEnd SerialQueue::drainFrom(WorkItem* item, int budget) {
  FrameScope frame(this);
  Lookahead lookahead;
  for (int done = 0;;) {
    if (SyncItem::is(item)) {
      if (kind() == Kind::main) handedOff_.store(true, std::memory_order_release);
      static_cast<SyncItem*>(item)->handOff();
      return DrainEnd::handedOff;
    }
    lookahead.before(item);
    invokeChecked(item, this);
    // Within a burst (this drain has run items already), the next item is
    // likely on its way.
    WorkItem* next = items_.popFront(item, done > 0 ? kBurstPatience : 0);
    item->release();
    if (next == nullptr) return DrainEnd::empty;
    item = next;
    if (++done >= budget) return DrainEnd::budgetSpent;
  }
}

bool SerialQueue::drainOnRunLoop(int budget) {
  if (handedOff_.load(std::memory_order_acquire)) return false;
  WorkItem* first = items_.front();
  if (first == nullptr) return false;
  return drainFrom(first, budget) == DrainEnd::budgetSpent;
}

bool SerialQueue::hasWorkForRunLoop() const noexcept {
  return items_.hasItems() && !handedOff_.load(std::memory_order_acquire);
}

void SerialQueue::runSync(WorkItem& work) {
  if (isRunningOn(this) || (kind() == Kind::main && isMainThread())) {
    const std::string message = "DispatchQueue::sync onto the queue \"" + label() +
                                "\" from work running on it would wait for ever";
    fatal(message.c_str());
  }
  SyncItem sync;
  const bool wasEmpty = items_.push(&sync);
  if (!wasEmpty || kind() == Kind::main) {
    // The queue is someone else's for now: a wait that the wait-for graph
    // shows would never end (the holder waits, through other queues or
    // futures, for a queue this thread holds) ends the process instead.
    const BlockingWait wait(this);
    if (wait.deadlock()) fatal(wait.deadlock()->localizedDescription().c_str());
    BlockingRegion blocking;
    // The main run loop is the only drainer of the main queue.
    if (wasEmpty) wakeMainRunLoop();
    sync.waitForHandOff();
  }
  // An empty private queue is ours at once: nobody else schedules it.
  struct Finish {
    SerialQueue* queue;
    SyncItem* item;
    ~Finish() { queue->finishSync(item); }
  } finish{this, &sync};
  FrameScope frame(this);
  work.run();
}

void SerialQueue::finishSync(WorkItem* syncItem) {
  WorkItem* next = items_.popFront(syncItem);
  if (kind() == Kind::main) {
    handedOff_.store(false, std::memory_order_release);
    wakeMainRunLoop();
    return;
  }
  if (next != nullptr) {
    keepAlive_ = shared_from_this();
    submitToPool(&drainItem_, qos());
  }
}

namespace {

// The process-wide queues live until the process ends, so the handles given
// out need not count: a handle that shares no ownership copies and drops
// without touching a shared counter (futures and handlers copy these handles
// on many threads at once). The owning pointer stays beside it, so that
// shared_from_this() works on these queues too.
struct ImmortalQueue {
  explicit ImmortalQueue(QueueRef queue)
      : owner(std::move(queue)), handle(QueueRef(), owner.get()) {}
  QueueRef owner;
  QueueRef handle;
};

}  // namespace

const QueueRef& mainQueueRef() {
  static const auto* const queue = new ImmortalQueue(
      std::make_shared<SerialQueue>(QueueImpl::Kind::main, "mornik.main", QoS::userInteractive));
  return queue->handle;
}

const QueueRef& globalQueueRef(QoS qos) {
  static const auto* const queues = [] {
    auto* all = new std::vector<ImmortalQueue>();
    all->reserve(kLevels);
    for (int level = 0; level < kLevels; ++level) {
      const auto qosOfLevel = static_cast<QoS>(level);
      all->emplace_back(std::make_shared<GlobalQueue>(
          "mornik.global." + std::string(qosName(qosOfLevel)), qosOfLevel));
    }
    return all;
  }();
  return (*queues)[static_cast<std::size_t>(levelOf(qos))].handle;
}

// ---- Worker pool ----

namespace {

// Workers take runnable items (global items and serial-queue drains) from one
// FIFO per class of service, highest class first. An idle worker spins for a
// few microseconds, then sleeps on a futex; a submission wakes a sleeper only
// when no worker is spinning, and a spinner that finds work wakes another so
// that a burst spreads over the pool.
class WorkerPool {
 public:
  static WorkerPool& instance() {
    static auto* const pool = created_ = new WorkerPool();
    return *pool;
  }
  // The pool if it was created (fork handlers must not create it).
  static WorkerPool* ifCreated() noexcept { return created_; }

  void submit(WorkItem* item, QoS qos) noexcept {
    levels_[levelOf(qos)].list.push(item);
    if (sleepers_.load(std::memory_order_seq_cst) > 0 &&
        spinners_.load(std::memory_order_seq_cst) == 0) {
      // Work submitted by a worker is usually taken by that same worker a
      // moment later, with a hot cache; waking another one mostly makes it
      // steal the next hop to another core. Instead, check shortly after
      // whether the queued work is being taken, and wake someone if not.
      if (tlsIsWorker) {
        armStarvationCheck();
      } else {
        wakeOne();
      }
    }
  }

  // Runs on the timer thread: wakes a worker for any class whose queued work
  // has not moved since the check was armed.
  void checkStarvation() noexcept {
    const std::array<std::uint64_t, kLevels> popsAtArming = popsAtArming_;
    starvationCheckArmed_.store(false, std::memory_order_seq_cst);  // may re-arm from here on
    for (int index = 0; index < kLevels; ++index) {
      Level& level = levels_[index];
      if (level.list.hasItems() &&
          level.pops.load(std::memory_order_relaxed) == popsAtArming[index]) {
        checkDelayNs_.store(kStarvationCheckNs, std::memory_order_relaxed);
        wakeOne();
        return;
      }
    }
    // The work was taken in time: check less often while that goes on.
    const std::int64_t delay = checkDelayNs_.load(std::memory_order_relaxed);
    checkDelayNs_.store(std::min(delay * 2, kStarvationCheckMostNs), std::memory_order_relaxed);
  }

  void enterBlocking() noexcept {
    const int blocked = blocked_.fetch_add(1, std::memory_order_seq_cst) + 1;
    const int workers = workers_.load(std::memory_order_seq_cst);
    if (workers - blocked < target_ && workers < kMaxWorkers) startWorker();
  }

  void leaveBlocking() noexcept { blocked_.fetch_sub(1, std::memory_order_seq_cst); }

  int target() const noexcept { return target_; }
  int workerCount() const noexcept { return workers_.load(std::memory_order_seq_cst); }
  int sleepingWorkers() const noexcept { return sleepers_.load(std::memory_order_seq_cst); }
  std::uint64_t activity() const noexcept {
    std::uint64_t taken = 0;
    for (const Level& level : levels_) taken += level.pops.load(std::memory_order_relaxed);
    return taken;
  }

  // fork(): the lists are consistent while their pop locks are held. The
  // child keeps what was queued but none of the threads: the forking thread
  // stays a worker if it was one, and the rest start again on the next
  // submission (a phantom sleeper makes that submission call wakeOne()).
  // Held across fork(), which the analysis cannot follow.
  void lockForFork() noexcept MORNIK_NO_THREAD_SAFETY_ANALYSIS {
    for (Level& level : levels_) level.popLock.lock();
  }
  void unlockInParent() noexcept MORNIK_NO_THREAD_SAFETY_ANALYSIS {
    for (Level& level : levels_) level.popLock.unlock();
  }
  void resetInChild(int blockingDepth) noexcept {
    for (Level& level : levels_) forceUnlockAfterFork(level.popLock);
    workers_.store(tlsIsWorker ? 1 : 0);
    blocked_.store(tlsIsWorker ? blockingDepth : 0);
    spinners_.store(0);
    sleepers_.store(1);
    starvationCheckArmed_.store(false);
    restartPending_.store(true);
  }

  bool hasQueuedWork() const noexcept { return hasWork(); }

 private:
  static constexpr int kMaxWorkers = 256;

  struct alignas(64) Level {
    UnfairLock popLock;
    MpscList list;
    std::atomic<std::uint64_t> pops{0};  // batches taken; written under popLock
  };

  void armStarvationCheck() noexcept {
    if (starvationCheckArmed_.exchange(true, std::memory_order_seq_cst)) return;
    for (int index = 0; index < kLevels; ++index) {
      popsAtArming_[index] = levels_[index].pops.load(std::memory_order_relaxed);
    }
    enqueueAt(realNowNs() + checkDelayNs_.load(std::memory_order_relaxed), nullptr,
              &starvationCheckItem_);
  }

  WorkerPool() : target_(std::max(1, static_cast<int>(std::thread::hardware_concurrency()))) {
    for (int i = 0; i < target_; ++i) startWorker();
  }

  // Exact: used in the sleep handshake.
  bool hasWork() const noexcept {
    for (const Level& level : levels_) {
      if (level.list.hasItems()) return true;
    }
    return false;
  }

  // A hint for polling (see MpscList::mayHaveItems).
  bool mayHaveWork() const noexcept {
    for (const Level& level : levels_) {
      if (level.list.mayHaveItems()) return true;
    }
    return false;
  }

  // Items a worker took from the pool and has not started yet.
  struct Batch {
    std::array<WorkItem*, kPopBatch> items{};
    int next = 0;
    int count = 0;
    int level = 0;
    bool empty() const noexcept { return next >= count; }
  };

  // Fills `batch` from the highest class that has work; false when there is
  // none.
  bool tryPop(Batch& batch) noexcept {
    for (int index = kLevels - 1; index >= 0; --index) {
      Level& level = levels_[index];
      if (!level.list.mayHaveItems() && !level.list.hasItems()) continue;
      const int count = level.popLock.locked([&] {
        const int taken = level.list.popBatch(batch.items.data(), kPopBatch);
        level.pops.store(level.pops.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        return taken;
      });
      if (count > 0) {
        batch.next = 0;
        batch.count = count;
        batch.level = index;
        return true;
      }
    }
    return false;
  }

 public:
  // Called when the calling worker is about to block: the items it holds but
  // has not started go back to the pool for other workers.
  void returnHeldItems() noexcept {
    Batch* batch = tlsBatch;
    if (batch == nullptr) return;
    while (!batch->empty()) {
      submit(batch->items[static_cast<std::size_t>(batch->next++)], static_cast<QoS>(batch->level));
    }
  }

 private:
  static thread_local Batch* tlsBatch;

  // Spins for work a few microseconds. Only one worker spins at a time, and
  // it yields its core between looks: on a machine with few cores, a spinner
  // would otherwise take the CPU away from the threads producing the work
  // (the yield returns at once when nobody else wants the core).
  bool spinForWork(Batch& batch) noexcept {
    if (spinners_.fetch_add(1, std::memory_order_seq_cst) != 0) {
      spinners_.fetch_sub(1, std::memory_order_seq_cst);
      return false;
    }
    const std::int64_t until = realNowNs() + kWorkerSpinNs;
    bool found = false;
    for (int round = 1;; ++round) {
      if (mayHaveWork() && (found = tryPop(batch))) break;
      std::this_thread::yield();
      if (round % 4 == 0 && realNowNs() > until) break;
    }
    if (spinners_.fetch_sub(1, std::memory_order_seq_cst) == 1 && found &&
        sleepers_.load(std::memory_order_seq_cst) > 0 && hasWork()) {
      wakeOne();
    }
    return found;
  }

  void wakeOne() noexcept {
    if (restartPending_.load(std::memory_order_relaxed)) [[unlikely]] {
      restartAfterFork();
      return;
    }
    epoch_.fetch_add(1, std::memory_order_release);
    futexWake(epoch_, 1);
  }

  void restartAfterFork() noexcept {
    if (!restartPending_.exchange(false, std::memory_order_seq_cst)) return;
    sleepers_.fetch_sub(1, std::memory_order_seq_cst);  // the phantom
    while (workers_.load(std::memory_order_seq_cst) < target_) startWorker();
  }

  bool surplus() const noexcept {
    return workers_.load(std::memory_order_relaxed) - blocked_.load(std::memory_order_relaxed) >
           target_;
  }

  void startWorker() noexcept {
    const int number = started_.fetch_add(1, std::memory_order_relaxed);
    workers_.fetch_add(1, std::memory_order_seq_cst);
    std::thread([this, number] { workerMain(number); }).detach();
  }

  void workerMain(int number) {
    nameThisThread("mornik.pool." + std::to_string(number));
    tlsIsWorker = true;
    Batch batch;
    tlsBatch = &batch;
    bool trimmed = true;    // nothing cached yet
    bool retrying = false;  // the last trim found the pool busy
    bool spins = true;      // false after a sleep that timed out: nothing came
    for (;;) {
      if (tryPop(batch) || (spins && spinForWork(batch))) {
        trimmed = false;
        retrying = false;
        QueueImpl* queue = globalQueueRef(static_cast<QoS>(batch.level)).get();
        FrameScope frame(queue);
        while (!batch.empty()) {
          runAndRelease(batch.items[static_cast<std::size_t>(batch.next++)], queue);
        }
        continue;
      }
      const std::uint32_t epoch = epoch_.load(std::memory_order_acquire);
      sleepers_.fetch_add(1, std::memory_order_seq_cst);
      if (hasWork()) {
        sleepers_.fetch_sub(1, std::memory_order_seq_cst);
        continue;
      }
      const bool extra = surplus();
      const std::int64_t before = realNowNs();
      const std::uint64_t activityBefore = activity();
      const std::int64_t trimAfter = retrying ? kTrimRetryNs : kTrimIdleNs;
      futexWait(epoch_, epoch, !trimmed ? trimAfter : extra ? kSurplusIdleNs : -1);
      sleepers_.fetch_sub(1, std::memory_order_seq_cst);
      // Woken by the clock (for a trim or the surplus check), not by work:
      // back to sleep without the spin, which would keep this worker awake
      // (and the pool not quiet for the others' trims) for nothing.
      spins = epoch_.load(std::memory_order_acquire) != epoch;
      const std::int64_t idle = realNowNs() - before;
      if (!trimmed && idle >= trimAfter && !hasWork()) {
        // Not done while the shared caches keep spare memory because others
        // were busy: without a retry, the last worker to fall idle may have
        // trimmed already, and that memory would stay.
        trimmed = trimItemCachesAfterIdle(activityBefore);
        retrying = !trimmed;
      }
      if (extra && surplus() && !hasWork() && idle >= kSurplusIdleNs) {
        workers_.fetch_sub(1, std::memory_order_seq_cst);
        return;
      }
    }
  }

  static inline WorkerPool* created_ = nullptr;
  const int target_;
  std::array<Level, kLevels> levels_;
  std::atomic<bool> restartPending_{false};
  alignas(64) std::atomic<bool> starvationCheckArmed_{false};
  std::atomic<std::int64_t> checkDelayNs_{kStarvationCheckNs};  // until the next check fires
  // Written by the thread that arms the check, read by the timer thread after
  // the timer heap's lock orders the two.
  std::array<std::uint64_t, kLevels> popsAtArming_{};
  WorkItem starvationCheckItem_{nullptr, [](WorkItem* /*unused*/, WorkItem::Act what) {
                                  if (what == WorkItem::Act::run) instance().checkStarvation();
                                }};
  alignas(64) std::atomic<std::uint32_t> epoch_{0};
  alignas(64) std::atomic<int> sleepers_{0};
  std::atomic<int> spinners_{0};
  alignas(64) std::atomic<int> workers_{0};
  std::atomic<int> blocked_{0};
  std::atomic<int> started_{0};
};

thread_local WorkerPool::Batch* WorkerPool::tlsBatch = nullptr;

}  // namespace

void submitToPool(WorkItem* item, QoS qos) noexcept { WorkerPool::instance().submit(item, qos); }

bool poolHasQueuedWork() noexcept { return WorkerPool::instance().hasQueuedWork(); }

std::uint64_t poolActivity() noexcept {
  const WorkerPool* pool = WorkerPool::ifCreated();
  return pool == nullptr ? 0 : pool->activity();
}

bool trimItemCachesAfterIdle(std::uint64_t activityBefore) noexcept {
  const WorkerPool* pool = WorkerPool::ifCreated();
  const bool quiet =
      pool == nullptr || (pool->activity() == activityBefore &&
                          pool->sleepingWorkers() + (tlsIsWorker ? 1 : 0) >= pool->workerCount());
  if (quiet) {
    trimItemCaches();
    return true;
  }
  trimThreadItemCaches();
  return !sharedItemCachesHoldSpare();
}

int poolTargetSize() noexcept { return WorkerPool::instance().target(); }

int poolWorkerCount() noexcept { return WorkerPool::instance().workerCount(); }

namespace {
thread_local constinit int tlsBlockingDepth = 0;  // workers only
}  // namespace

BlockingRegion::BlockingRegion() noexcept : active_(tlsIsWorker) {
  if (active_) {
    ++tlsBlockingDepth;
    WorkerPool::instance().returnHeldItems();
    WorkerPool::instance().enterBlocking();
  }
}

BlockingRegion::~BlockingRegion() {
  if (active_) {
    --tlsBlockingDepth;
    WorkerPool::instance().leaveBlocking();
  }
}

// ---- Timers ----

namespace {

// Two heaps of deadlines served by one thread that sleeps until the earliest
// and then hands the due items to their queues: one for every delayed item
// and timer source, on the executor's clock, and one for the executor's own
// checks (null queue), always on the real clock. While a test clock is
// installed the thread leaves the first heap to takeDueTimers().
class TimerHeap {
 public:
  static TimerHeap& instance() {
    static auto* const heap = created_ = new TimerHeap();
    return *heap;
  }
  static TimerHeap* ifCreated() noexcept { return created_; }

  void add(std::int64_t deadline, QueueRef queue, WorkItem* item) {
    const bool internal = !queue;
    const bool wake = lock_.locked([&] {
      Heap& heap = internal ? internal_ : timers_;
      heap.push_back(Entry{deadline, sequence_++, std::move(queue), item});
      std::push_heap(heap.begin(), heap.end(), later);
      if (!started_) {
        started_ = true;
        std::thread([this] { threadMain(); }).detach();
      }
      return (internal || !testClockInstalled()) && deadline < sleepingUntil_;
    });
    if (wake) wakeThread();
  }

  void wakeThread() noexcept {
    epoch_.fetch_add(1, std::memory_order_release);
    futexWake(epoch_, 1);
  }

  int takeDue(const std::function<void(const QueueRef&, WorkItem*)>& take) {
    std::vector<Entry> due;
    lock_.locked([&] { popDue(timers_, monotonicNowNs(), due); });
    for (Entry& entry : due) take(entry.queue, entry.item);
    return static_cast<int>(due.size());
  }

  std::int64_t nextDeadline() noexcept {
    return lock_.locked([&] { return timers_.empty() ? kNoDeadline : timers_.front().deadline; });
  }

  // Fork: the heap is consistent while the lock is held; in the child the
  // thread is gone and starts again with the next entry.
  void lockForFork() noexcept MORNIK_NO_THREAD_SAFETY_ANALYSIS { lock_.lock(); }
  void unlockInParent() noexcept MORNIK_NO_THREAD_SAFETY_ANALYSIS { lock_.unlock(); }
  void resetInChild() noexcept {
    forceUnlockAfterFork(lock_);
    started_ = false;
    sleepingUntil_ = 0;
  }

 private:
  struct Entry {
    std::int64_t deadline;
    std::uint64_t sequence;  // keeps equal deadlines in submission order
    QueueRef queue;
    WorkItem* item;
  };
  using Heap = std::vector<Entry>;

  static bool later(const Entry& a, const Entry& b) {
    return a.deadline != b.deadline ? a.deadline > b.deadline : a.sequence > b.sequence;
  }

  static void popDue(Heap& heap, std::int64_t now, std::vector<Entry>& due) {
    while (!heap.empty() && heap.front().deadline <= now) {
      std::pop_heap(heap.begin(), heap.end(), later);
      due.push_back(std::move(heap.back()));
      heap.pop_back();
    }
  }

  void threadMain() {
    nameThisThread("mornik.timers");
    // Wake up at the deadline, not up to 50 microseconds after it.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    std::vector<Entry> due;
    for (;;) {
      std::int64_t next = 0;
      std::int64_t nextTimer = kNoDeadline;  // the next deadline of a user's timer
      std::uint32_t epoch = 0;
      lock_.locked([&] {
        // Without a test clock both heaps run on the real clock.
        const std::int64_t now = realNowNs();
        popDue(internal_, now, due);
        const bool ownTimers = !testClockInstalled();
        if (ownTimers) popDue(timers_, now, due);
        if (ownTimers && !timers_.empty()) nextTimer = timers_.front().deadline;
        next = std::min(nextTimer, internal_.empty() ? kNoDeadline : internal_.front().deadline);
        sleepingUntil_ = next;
        epoch = epoch_.load(std::memory_order_acquire);
      });
      for (Entry& entry : due) {
        if (entry.queue) {
          entry.queue->enqueue(entry.item);
        } else {
          entry.item->run();  // the executor's own quick checks
        }
      }
      due.clear();
      if (next == kNoDeadline) {
        futexWait(epoch_, epoch);
        continue;
      }
      // A sleep's timeout ends tens of microseconds late on typical
      // machines: sleep until shortly before a timer's deadline, then spin
      // to it (or until an earlier timer arrives). The executor's own checks
      // are not worth a spinning core (a busy pool can arm thousands a
      // second): they run when a plain sleep ends.
      const std::int64_t now = realNowNs();
      if (next < nextTimer && nextTimer - now > kTimerSpinNs) {
        futexWait(epoch_, epoch,
                  std::max<std::int64_t>(0, std::min(next, nextTimer - kTimerSpinNs) - now));
      } else if (next - now > kTimerSpinNs) {
        futexWait(epoch_, epoch, next - now - kTimerSpinNs);
      } else {
        while (realNowNs() < next && epoch_.load(std::memory_order_acquire) == epoch) {
          cpuRelax();
        }
      }
    }
  }

  static inline TimerHeap* created_ = nullptr;
  UnfairLock lock_;
  Heap timers_;
  Heap internal_;
  std::uint64_t sequence_ = 0;
  std::int64_t sleepingUntil_ = 0;
  bool started_ = false;
  std::atomic<std::uint32_t> epoch_{0};
};

}  // namespace

void enqueueAt(std::int64_t deadlineNs, QueueRef queue, WorkItem* item) {
  TimerHeap::instance().add(deadlineNs, std::move(queue), item);
}

int takeDueTimers(const std::function<void(const QueueRef&, WorkItem*)>& take) {
  return TimerHeap::instance().takeDue(take);
}

std::int64_t nextTimerDeadlineNs() noexcept { return TimerHeap::instance().nextDeadline(); }

void installTestClock(const std::atomic<std::int64_t>* now) noexcept {
  gTestClockNow.store(now, std::memory_order_release);
  // The timer thread takes over (or gives up) the heap of timers.
  TimerHeap::instance().wakeThread();
}

// ---- fork() ----

namespace {

void prepareFork() noexcept {
  if (TimerHeap* heap = TimerHeap::ifCreated()) heap->lockForFork();
  if (WorkerPool* pool = WorkerPool::ifCreated()) pool->lockForFork();
  itemDepotFork(ForkStep::prepare);
}

void afterForkInParent() noexcept {
  itemDepotFork(ForkStep::parent);
  if (WorkerPool* pool = WorkerPool::ifCreated()) pool->unlockInParent();
  if (TimerHeap* heap = TimerHeap::ifCreated()) heap->unlockInParent();
}

void afterForkInChild() noexcept {
  gMainThreadTag.store(static_cast<std::uint32_t>(::getpid()), std::memory_order_relaxed);
  itemDepotFork(ForkStep::child);
  if (WorkerPool* pool = WorkerPool::ifCreated()) pool->resetInChild(tlsBlockingDepth);
  if (TimerHeap* heap = TimerHeap::ifCreated()) heap->resetInChild();
}

[[maybe_unused]] const int kForkHandlers =
    pthread_atfork(&prepareFork, &afterForkInParent, &afterForkInChild);

}  // namespace

}  // namespace mornik::detail
