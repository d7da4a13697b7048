#include "mornik/concurrency/BlockingWait.hpp"

#include <array>
#include <atomic>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>

#include "mornik/concurrency/detail/Executor.hpp"

namespace mornik {

namespace {

// The blocked waits, linked through their own members. A plain mutex: only
// threads about to sleep take it, never async().
struct Graph {
  std::mutex lock;
  BlockingWait* first = nullptr;
  std::atomic<std::size_t> count{0};
};

Graph& graph() {
  static auto* const instance = new Graph();  // used by threads to the end
  return *instance;
}

thread_local constinit char tlsThreadIdentity = 0;

bool holdsQueue(const void* frames, bool mainThread, const detail::QueueImpl* queue) {
  if (mainThread && queue == detail::mainQueueRef().get()) return true;
  for (const auto* frame = static_cast<const detail::QueueFrame*>(frames); frame != nullptr;
       frame = frame->outer) {
    if (frame->queue == queue) return true;
  }
  return false;
}

std::string quoted(const detail::QueueImpl* queue) { return "\"" + queue->label() + "\""; }

}  // namespace

const void* BlockingWait::thisThread() noexcept { return &tlsThreadIdentity; }

std::size_t BlockingWait::blockedCount() noexcept {
  return graph().count.load(std::memory_order_acquire);
}

BlockingWait::BlockingWait(const detail::QueueImpl* queue) : queue_(queue) {
  enter("DispatchQueue::sync onto the queue");
}

BlockingWait::BlockingWait(WaitResolver resolve, const void* object)
    : resolve_(resolve), object_(object) {
  enter("Future::wait()");
}

// Follows the edges from this wait: a queue leads to the blocked thread
// holding it, a thread to the wait it is blocked in, and that wait to what
// it needs. Reaching this thread again closes a cycle; reaching a queue or
// thread that is not blocked, or nothing, ends the walk. Each blocked wait
// is visited at most once, so the walk ends even if the graph changed
// shape under a resolver.
void BlockingWait::enter(const char* operation) {
  thread_ = thisThread();
  frames_ = detail::tlsQueueFrame;
  mainThread_ = detail::isMainThread();
  Graph& g = graph();
  const std::scoped_lock guard(g.lock);
  // The queues the walk went through, for the message (the first few).
  std::array<const detail::QueueImpl*, 16> path{};
  std::size_t hops = 0;
  WaitEdge edge = queue_ != nullptr ? WaitEdge{queue_, nullptr, queue_} : resolve_(object_);
  bool cycle = false;
  for (std::size_t steps = 0; steps <= g.count.load(std::memory_order_relaxed); ++steps) {
    if (edge.via != nullptr && hops < path.size()) path[hops++] = edge.via;
    const BlockingWait* next = nullptr;
    if (edge.queue != nullptr) {
      if (holdsQueue(frames_, mainThread_, edge.queue)) {
        cycle = true;
        break;
      }
      for (const BlockingWait* w = g.first; w != nullptr && next == nullptr; w = w->next_) {
        if (holdsQueue(w->frames_, w->mainThread_, edge.queue)) next = w;
      }
    } else if (edge.thread != nullptr) {
      if (edge.thread == thread_) {
        cycle = true;
        break;
      }
      for (const BlockingWait* w = g.first; w != nullptr && next == nullptr; w = w->next_) {
        if (w->thread_ == edge.thread) next = w;
      }
    }
    if (next == nullptr) break;
    edge = next->queue_ != nullptr ? WaitEdge{next->queue_, nullptr, next->queue_}
                                   : next->resolve_(next->object_);
  }
  if (cycle) {
    std::string message = std::string(operation);
    if (queue_ != nullptr) message += " " + quoted(queue_);
    message += " would wait for ever: a cycle of blocking waits through the queues ";
    for (std::size_t i = 0; i < hops; ++i) {
      message += (i == 0 ? "" : " -> ") + quoted(path[i]);
    }
    deadlock_.emplace(std::string(kPOSIXErrorDomain),
                      static_cast<std::int64_t>(std::errc::resource_deadlock_would_occur),
                      UserInfo{{std::string(kLocalizedDescriptionKey), message}});
    return;
  }
  next_ = g.first;
  if (next_ != nullptr) next_->prev_ = this;
  g.first = this;
  entered_ = true;
  g.count.fetch_add(1, std::memory_order_release);
}

BlockingWait::~BlockingWait() {
  if (!entered_) return;
  Graph& g = graph();
  const std::scoped_lock guard(g.lock);
  if (prev_ != nullptr) {
    prev_->next_ = next_;
  } else {
    g.first = next_;
  }
  if (next_ != nullptr) next_->prev_ = prev_;
  g.count.fetch_sub(1, std::memory_order_release);
}

}  // namespace mornik
