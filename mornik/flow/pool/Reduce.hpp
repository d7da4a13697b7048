#pragma once

#include <concepts>
#include <functional>
#include <memory>
#include <utility>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/LockingProtocol.hpp"
#include "mornik/concurrency/QoS.hpp"
#include "mornik/concurrency/ThreadAnnotations.hpp"
#include "mornik/concurrency/UnfairLock.hpp"
#include "mornik/flow/future/Future.hpp"
#include "mornik/flow/pool/Streamed.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::Flow {

// A running fold: an accumulator that a block updates with each incoming
// element, published on a signal, and a future completed with the
// accumulator on demand.
//
//   auto lines = Flow::Reduce<std::string, std::string>::make(
//       "", [](std::string text, const std::string& line) { return text + line + "\n"; });
//   lines->accumulator().signal()->onUpdate(DispatchQueue::main(), [](const auto& t) { show(t); });
//   lines->update("first");                  // from any thread
//   lines->complete();                       // completed() succeeds with "first\n"
//
// update(e) reads the accumulator, calls block(accumulator, e) on the
// calling thread and publishes the result on accumulator().signal().
// Updates are serialised: the three steps run under a lock of this object
// (not the signal's), so concurrent updates from several threads (a child
// process's output and error streams) never lose an element, and the
// signal's buffer and its deliveries to a serial queue follow the order in
// which the folds ran. The block therefore runs under that lock: it must
// not call update() on the same object (that aborts with a message), and a
// slow block holds up other updating threads. Updates from one thread behave
// the same with or without the lock. A block that throws leaves the
// accumulator unchanged; the exception reaches the caller of update().
//
// The signal starts holding the initial accumulator, so a subscriber sees it
// first, then one value per update. A cleared signal buffer
// (signal()->clearBuffer()) makes the next fold start again from the initial
// accumulator.
//
// complete() completes completed() with success carrying the accumulator it
// reads (the latest published one; it does not wait for an update in
// progress on another thread). Later calls change nothing, and update() is
// still accepted afterwards: the accumulator keeps changing and publishing
// while completed() keeps the value of its first completion.
//
// Ownership: held by std::shared_ptr; owns its block (for its whole life),
// the accumulator's signal (shared with whoever holds it) and completed().
// Thread safety: every member may be called from any thread.
template <class T, class E>
class Reduce final {
  struct Passkey {
    explicit Passkey() = default;
  };

 public:
  using Pointer = std::shared_ptr<Reduce>;
  using Block = std::function<T(T, const E&)>;

  // A fold starting at `accumulator`; its signal's handlers run on `queue`
  // (the global user-interactive queue unless given) unless they name
  // another, and completed() runs handlers registered without a queue on
  // the global default queue. On a serial queue the handlers see the
  // accumulators in the order the folds ran; on a concurrent one two of
  // them may run at once.
  static Pointer make(T accumulator, Block block,
                      DispatchQueue queue = DispatchQueue::global(QoS::userInteractive)) {
    return std::make_shared<Reduce>(Passkey(), std::move(accumulator), std::move(block),
                                    std::move(queue));
  }

  Reduce(Passkey /*unused*/, T accumulator, Block block, DispatchQueue queue)
      : block_(std::move(block)),
        accumulator_(std::move(accumulator), std::move(queue)),
        completed_(Future<T>::promise()) {}
  Reduce(const Reduce&) = delete;
  Reduce& operator=(const Reduce&) = delete;
  ~Reduce() = default;

  // Folds `element` into the accumulator and publishes the result.
  void update(const E& element) MORNIK_EXCLUDES(updateLock_) {
    detail::ScopedLock<UnfairLock> guard(updateLock_);
    accumulator_.set(block_(accumulator_.get(), element));
  }

  // Completes completed() with the current accumulator (first call only).
  void complete() { completed_->complete(accumulator_.get()); }

  // The accumulator: get() (or an implicit read) for its value, signal()
  // for every value it takes, the initial one first.
  const Streamed<T>& accumulator() const noexcept { return accumulator_; }

  // Succeeds with the accumulator read by the first complete().
  const std::shared_ptr<Future<T>>& completed() const noexcept { return completed_; }

 private:
  const Block block_;
  UnfairLock updateLock_;
  Streamed<T> accumulator_;
  const std::shared_ptr<Future<T>> completed_;
};

}  // namespace mornik::Flow

MORNIK_EXPORTS_END
