#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "mornik/base/Error.hpp"
#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

namespace detail {
class QueueImpl;
}  // namespace detail

// What a blocked thread needs in order to go on, as far as the library can
// tell: a serial queue to be handed to it, or the thread that runs the work
// it waits for. `via` names the queue a hop goes through in messages.
struct WaitEdge {
  const detail::QueueImpl* queue = nullptr;
  const void* thread = nullptr;  // a thread's identity (BlockingWait::thisThread())
  const detail::QueueImpl* via = nullptr;
};

// Computes, when asked, what a waited-for object needs right now (an empty
// edge: nothing the library can see). Called under the graph's lock with the
// object alive (its waiter is blocked in it): it must only read atomics.
using WaitResolver = WaitEdge (*)(const void* object) noexcept;

// One blocking wait, entered in the process's wait-for graph for its scope,
// so that a wait that would close a cycle fails at once instead of hanging.
//
//   BlockingWait wait(&resolve, this);
//   if (wait.deadlock()) return *wait.deadlock();   // would wait for ever
//   ... block ...
//
// The graph holds every thread blocked in a DispatchQueue::sync onto a
// serial queue or in Future::wait(): what it waits for (a serial queue, or
// a future, resolved to the serial queue its work is queued on or to the
// thread running its work) and which serial queues it holds (those whose
// work is on its stack, and the main queue on the main thread). A new wait
// whose chain of "held by a blocked thread that waits for ..." leads back to
// the waiting thread is refused, and deadlock() describes the cycle by the
// queues it goes through. Whichever wait closes a cycle is the one refused;
// the waits already blocked are left as they are.
//
// Reach: only what the library sees. A future completed by code of its own
// (a promise, a callback from another library, a thread the caller made) or
// a semaphore, a group or a lock held elsewhere are not in the graph; a wait
// on them can still wait for ever.
//
// Cost: one short lock on entry and on exit, and a walk of the blocked
// threads' chain; only waits that really block pay it, never async().
//
// Thread safety: a BlockingWait belongs to the thread that made it; the
// graph may be used from every thread at once.
class [[nodiscard]] BlockingWait {
 public:
  // A wait for `queue` (a serial queue) to be handed to this thread.
  explicit BlockingWait(const detail::QueueImpl* queue);
  // A wait for `object`, whose needs `resolve` reports.
  BlockingWait(WaitResolver resolve, const void* object);
  ~BlockingWait();
  BlockingWait(const BlockingWait&) = delete;
  BlockingWait& operator=(const BlockingWait&) = delete;

  // The error of a refused wait (POSIX EDEADLK, the cycle in the
  // description), or none when the wait was entered in the graph.
  const std::optional<Error>& deadlock() const noexcept { return deadlock_; }

  // The calling thread's identity in the graph (stable while it lives).
  static const void* thisThread() noexcept;
  // How many waits are in the graph right now (a snapshot, for tests).
  static std::size_t blockedCount() noexcept;

 private:
  void enter(const char* operation);

  const detail::QueueImpl* queue_ = nullptr;
  WaitResolver resolve_ = nullptr;
  const void* object_ = nullptr;
  const void* thread_ = nullptr;
  const void* frames_ = nullptr;  // the innermost queue frame on entry
  bool mainThread_ = false;
  bool entered_ = false;
  std::optional<Error> deadlock_;
  BlockingWait* next_ = nullptr;  // the graph's list, under its lock
  BlockingWait* prev_ = nullptr;
};

// Whether `error` is the error of a refused wait.
inline bool isDeadlockError(const Error& error) noexcept {
  return error.is(std::errc::resource_deadlock_would_occur);
}

}  // namespace mornik

MORNIK_EXPORTS_END
