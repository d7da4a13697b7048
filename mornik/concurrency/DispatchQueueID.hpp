#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// The name of a process-wide serial queue: every DispatchQueueID with the
// same id gives the same queue.
//
//   mornik::DispatchQueueID("app.index").queue().async([] { reindex(); });
//
// The first request for an id creates a serial queue labelled with it, of
// class userInitiated, and registers it for good; the look-up and the
// creation happen under one acquisition of the registry's lock, so callers
// racing for a new id all get the one queue.
//
// Thread safety: every member may be called from any thread.
struct DispatchQueueID {
  std::string id;

  // The queue registered under `id` (created on first request).
  DispatchQueue queue() const;

  friend bool operator==(const DispatchQueueID&, const DispatchQueueID&) = default;
};

// Whether the caller runs work of the main queue (or is the main thread
// outside any queue's work).
bool isMainQueue();
// Whether the caller runs work of `queue`: sets a value for a fresh key on the
// queue, reads the key for the caller's context, then removes the value.
bool isCurrent(const DispatchQueue& queue);

// A trigger that runs `action` on `queue` at most once per `delay` seconds.
// Each call of the trigger submits a check to the queue, due `delay` after the
// last run of the action (or after debounce() was called); the check runs
// the action when that much time has passed since the last run, else it does
// nothing. So a burst of calls runs the action once, and a call long after
// the last run runs it at once. Meant for a serial queue, with the trigger
// called from one thread at a time. A NaN or infinite delay throws
// std::invalid_argument.
std::function<void()> debounce(const DispatchQueue& queue, double delay,
                               std::function<void()> action);
template <class Rep, class Period>
std::function<void()> debounce(const DispatchQueue& queue, std::chrono::duration<Rep, Period> delay,
                               std::function<void()> action) {
  return debounce(queue, std::chrono::duration<double>(delay).count(), std::move(action));
}

// A readable name for the calling thread, for log lines: the label of the
// queue whose work it runs when that label is valid UTF-8, else a
// description of the thread itself ("<Thread 1234 \"name\">").
//
// Names that cannot arise here: the platform's operation queues named the
// thread after the operation queue ("OperationQueue: " and its name, or the
// name alone when it contains "OperationQueue") or after the dispatch queue
// beneath one ("DispatchQueue: " and its label, or the label alone). This
// library has no operation queues: every piece of work runs as work of a
// DispatchQueue, whose label is the name, as the platform's did for plain
// dispatch queues.
struct Thread {
  static std::string dbgName();
};

}  // namespace mornik

template <>
struct std::hash<mornik::DispatchQueueID> {
  std::size_t operator()(const mornik::DispatchQueueID& id) const noexcept {
    return std::hash<std::string>()(id.id);
  }
};

MORNIK_EXPORTS_END
