#pragma once

#include <concepts>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/QoS.hpp"
#include "mornik/flow/signal/Signal.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// A stored property whose every assignment is published on a signal; reading
// it gives the latest published value.
//
//   struct Download {
//     mornik::Streamed<double> progress{0.0};          // signal on the global
//                                                      // user-interactive queue
//   };
//   download.progress.signal()->onUpdate(DispatchQueue::main(), [](double p) { bar(p); });
//   download.progress = 0.5;                  // publishes 0.5
//   double now = download.progress;           // 0.5
//   download.progress.modify([](double& p) { p += 0.1; });  // one read, one publish
//
// get() answers the signal's buffered value, or initialValue() when the
// buffer is empty (after signal()->clearBuffer()). set() publishes with the
// signal's update(), also a value equal to the current one. modify() reads
// once, lets the block change that copy, and publishes the result with one
// update; it is not atomic: two concurrent modify() calls may read the same
// value and one result may replace the other.
//
// Copies share one signal, whether made by construction or by assignment: a
// write through any copy is read through all of them, and subscribers of
// signal() see writes made through every copy. After `a = b`, a shares b's
// signal (and initial value); a's former signal, and its subscribers, hear
// nothing more from a.
//
// Ownership: each copy holds the signal; the signal lives as long as any copy
// or any holder of signal() keeps it.
// Thread safety: every member may be called from any thread; get() and set()
// are each atomic through the signal's own lock.
template <class T>
class Streamed {
 public:
  using Value = T;

  // The signal starts holding `wrappedValue`; handlers registered on it
  // without a queue run on `queue`.
  explicit Streamed(T wrappedValue,
                    DispatchQueue queue = DispatchQueue::global(QoS::userInteractive))
      : initialValue_(std::move(wrappedValue)),
        signal_(Flow::Signal<T>::make(std::move(queue), initialValue_)) {}

  // A copy shares the signal. (There is no move: a moved-from Streamed
  // would have no signal, so moving copies.)
  Streamed(const Streamed&) = default;
  Streamed& operator=(const Streamed&) = default;
  ~Streamed() = default;

  // The latest published value, or initialValue() while the buffer is empty.
  T get() const {
    if (auto value = signal_->currentValue()) return std::move(*value);
    return initialValue_;
  }
  operator T() const { return get(); }  // NOLINT(google-explicit-constructor)

  // Publishes `value`.
  void set(const T& value) { signal_->update(value); }
  Streamed& operator=(const T& value) {
    set(value);
    return *this;
  }

  // Reads once, runs `change` on that copy, publishes the result once;
  // returns what the block returns.
  template <class F>
    requires std::invocable<F&, T&>
  std::decay_t<std::invoke_result_t<F&, T&>> modify(F&& change) {
    T value = get();
    if constexpr (std::is_void_v<std::invoke_result_t<F&, T&>>) {
      std::invoke(change, value);
      set(value);
    } else {
      std::decay_t<std::invoke_result_t<F&, T&>> result = std::invoke(change, value);
      set(value);
      return result;
    }
  }

  // The signal that carries every value written (the property's `$` name).
  const std::shared_ptr<Flow::Signal<T>>& signal() const noexcept { return signal_; }

  // The value given at construction; writes never change it.
  const T& initialValue() const noexcept { return initialValue_; }

 private:
  T initialValue_;
  std::shared_ptr<Flow::Signal<T>> signal_;
};

}  // namespace mornik

MORNIK_EXPORTS_END
