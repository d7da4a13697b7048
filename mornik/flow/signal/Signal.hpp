#pragma once

#include <atomic>
#include <chrono>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/LockingProtocol.hpp"
#include "mornik/concurrency/ThreadAnnotations.hpp"
#include "mornik/flow/core/FlowRetainer.hpp"
#include "mornik/flow/core/Handler.hpp"
#include "mornik/flow/observe/Animation.hpp"
#include "mornik/flow/observe/Scoped.hpp"
#include "mornik/flow/signal/SignalOperators.hpp"
#include "mornik/flow/signal/detail/AppendOnlyList.hpp"
#include "mornik/flow/signal/detail/SignalHandler.hpp"
#include "mornik/flow/signal/detail/SignalLock.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::detail {

// A test seam: when set, every subscription calls it after listing its
// handler and before submitting the handler's replay of the buffer, with no
// lock held. Null in production.
inline std::atomic<void (*)()> signalSubscribeSeam{nullptr};

}  // namespace mornik::detail

namespace mornik::Flow {

class Pool;
enum class AfterThrottling : std::uint8_t;

// A multi-value stream that remembers its latest value (its buffer) and
// hands every value, as it arrives, to each registered handler on that
// handler's dispatch queue. A signal never completes and never fails.
//
//   auto temperature = Flow::Signal<double>::make(DispatchQueue::main());
//   temperature->onUpdate([](double t) { label.show(t); });       // main queue
//   temperature->assign(model, &Model::temperature, DispatchQueue::main());
//   temperature->update(21.5);                                   // from any thread
//   temperature->currentValue();                                 // 21.5
//
// update(v) stores v in the buffer and submits v to every handler registered
// so far, in registration order; it returns once the deliveries are
// submitted and never waits for a block. A new subscriber is handed the
// buffered value once (asynchronously, on its queue), then every later value;
// with an empty buffer it receives nothing until the next update. Handlers
// are never removed: a handler whose weakly held object has gone stays
// registered and does nothing.
//
// Ordering: on a serial queue, updates made from one thread arrive in update
// order, and handlers sharing that queue see each value in registration
// order. There is no order between handlers on different queues, or between
// updates made concurrently from several threads (the buffer ends with
// whichever store came last). A subscriber's replay of the buffer is taken
// in the critical section that registers it and reaches it exactly once,
// before any later value: whichever of its deliveries runs first hands the
// replay over before its own value. The signal does not serialise a block by
// itself: on a concurrent queue two deliveries may run at once.
//
// Ownership: the signal owns its buffer, its handlers (and what their blocks
// capture) and the objects handed to retain(). Context, assign, append and
// non-retaining forwarding forms hold their object weakly, for the duration
// of one delivery at a time. When the last owner releases the signal, the
// deliveries already queued do nothing, and every handler's block, with what
// it captures, is destroyed then and there (a block running at that moment
// goes when it returns), whether or not its queue ever runs again.
//
// Thread safety: every member may be called from any thread. One lock
// guards the buffer, the handler list and the retained objects: a spin lock
// that the first thread to use the signal takes without an atomic
// instruction until another thread takes it (SignalLock); under it
// the signal only moves and copies pointers (or a small trivially copyable
// value): values are copied, memory allocated and deliveries submitted (a
// replay included) outside it. Any other value is buffered as an immutable
// shared copy. An update costs that copy, the lock once, then one
// submission per handler, walked outside the lock in a list that only grows
// and never moves its elements.
//
// Subclasses may override currentValue(), clearBuffer(), update() and
// retain(); they construct through makeDerived() so that an initial value
// goes through their own update().
template <class T>
class Signal : public FlowRetainer,
               public SignalOperators<T>,  // map, filter, skip, distinct
               public std::enable_shared_from_this<Signal<T>> {
 protected:
  struct Passkey {
    explicit Passkey() = default;
  };

 public:
  using Value = T;
  using Pointer = std::shared_ptr<Signal>;

  // A signal whose handlers run on `queue` unless they name another. With an
  // initial value, the signal starts by calling update() with it.
  static Pointer make(DispatchQueue queue, std::optional<T> update = std::nullopt) {
    return makeDerived<Signal>(std::move(update), std::move(queue));
  }

  Signal(Passkey /*unused*/, DispatchQueue queue) : queue_(std::move(queue)) {}
  // Releases the handlers, and what their blocks capture, with one fence
  // for all of them (see SignalHandler).
  ~Signal() override {
    const typename HandlerList::Prefix handlers = handlersAtEnd();
    bool fence = false;
    handlers.forEach([&fence](const HandlerPointer& handler) {
      if (handler->markReleased()) fence = true;
    });
    if (fence) mornik::detail::fenceEveryThread();
  }
  Signal(const Signal&) = delete;
  Signal& operator=(const Signal&) = delete;

  // ---- State (overridable) ----

  // The buffer: the latest value, or none (at creation, after clearBuffer()).
  virtual std::optional<T> currentValue() const MORNIK_EXCLUDES(lock_) {
    Buffer buffer;
    {
      Guard guard(lock_);
      buffer = buffer_;
    }
    if (!buffer) return std::nullopt;
    return *buffer;
  }

  // Empties the buffer; handlers are not told.
  virtual void clearBuffer() MORNIK_EXCLUDES(lock_) {
    Buffer gone;  // released after the lock
    Guard guard(lock_);
    buffer_.swap(gone);
  }

  // Stores `value` in the buffer, then submits it to every handler.
  virtual void update(const T& value) MORNIK_EXCLUDES(lock_) {
    Buffer buffer(value);
    typename HandlerList::Prefix handlers;
    {
      Guard guard(lock_);
      buffer_.swap(buffer);
      handlers = handlers_.prefix();
    }
    buffer.reset();  // the previous value, outside the lock
    handlers.forEach([&value](const HandlerPointer& handler) { handler->call(value); });
  }

  // Keeps `object` alive as long as this signal lives.
  void retain(std::shared_ptr<const void> object) override MORNIK_EXCLUDES(lock_) {
    auto link = std::make_unique<Retained>(std::move(object));
    Guard guard(lock_);
    link->next = std::move(retained_);
    retained_ = std::move(link);
  }

  // update(value), then this signal (for chaining at construction).
  Pointer startWith(const T& value) {
    update(value);
    return this->shared_from_this();
  }

  // Handlers registered without a queue run here; operators give derived
  // signals this queue when the caller names none.
  const DispatchQueue& queue() const noexcept { return queue_; }

  // ---- Running values through a pool (defined in mornik/flow/pool/Pool.hpp) ----

  // For every value (from the buffered one on), on this signal's queue and
  // while `pool` exists (it is held weakly): makes a pool future on the
  // pool's queue whose work is `block(value)` (returning Result<void>), and
  // routes its failure into the pool's error pool (failing()). Values that
  // arrive once the pool is gone are ignored.
  template <class F>
    requires BlockTaking<F, const T&>
  Signal& onUpdate(const std::shared_ptr<Pool>& pool, F&& block);

  // ---- Thinning in time (defined in Throttle.hpp) ----

  // A new signal that gets the first value of a quiet period at once and
  // then at most one value per window of `interval` seconds: the latest held
  // one (debounce) or as `after` says (throttle). An interval that is not
  // finite, or not representable in 64-bit microseconds, throws
  // std::invalid_argument.
  Pointer debounce(double interval);
  Pointer throttle(double interval, AfterThrottling after);
  // The same with the interval as a duration (converted to seconds).
  template <class Rep, class Period>
  Pointer debounce(std::chrono::duration<Rep, Period> interval) {
    return debounce(std::chrono::duration<double>(interval).count());
  }
  template <class Rep, class Period>
  Pointer throttle(std::chrono::duration<Rep, Period> interval, AfterThrottling after) {
    return throttle(std::chrono::duration<double>(interval).count(), after);
  }

  // ---- Subscription; each returns this signal, for chaining ----

  // `block(value)` for the buffered value and every later one, on `queue`
  // (else the signal's queue).
  template <class F>
    requires ValueBlock<F, T>
  Signal& onUpdate(std::optional<DispatchQueue> queue, F&& block) {
    return subscribe(mornik::detail::SignalHandler<T>::make(std::move(queue).value_or(queue_),
                                                            std::forward<F>(block)));
  }
  template <class F>
    requires ValueBlock<F, T>
  Signal& onUpdate(F&& block) {
    return onUpdate(std::nullopt, std::forward<F>(block));
  }

  // The same with a context held weakly: the block gets the context (as `C&`
  // or `const std::shared_ptr<C>&`) and the value while the context lives,
  // and is skipped once it is gone.
  template <class C, class F>
    requires ContextValueBlock<F, C, T>
  Signal& onUpdate(const std::shared_ptr<C>& context, std::optional<DispatchQueue> queue,
                   F&& block) {
    return onUpdate(
        std::move(queue),
        [weak = std::weak_ptr<C>(context), block = std::decay_t<F>(std::forward<F>(block))](
            const T& value) mutable { mornik::detail::callWithContext(weak, block, value); });
  }
  template <class C, class F>
    requires ContextValueBlock<F, C, T>
  Signal& onUpdate(const std::shared_ptr<C>& context, F&& block) {
    return onUpdate(context, std::nullopt, std::forward<F>(block));
  }

  // Scoped forms of the onUpdate forms above (Flow::scoped first, then the
  // same arguments): the handler lasts as long as the returned Subscription.
  template <class... A>
  Subscription onUpdate(Flow::Scoped /*unused*/, A&&... arguments) {
    return mornik::detail::registerScoped(
        [this](auto&&... a) { this->onUpdate(std::forward<decltype(a)>(a)...); },
        std::forward<A>(arguments)...);
  }

  // Writes every value into a property of `object` (held weakly) on `queue`:
  // a data member of type T or std::optional<T> (`&Model::count`), or a
  // setter: a callable `(C&, const T&)` or a member function
  // (`&Model::setName`). Nothing is written once the object is gone.
  template <class C, class M>
    requires std::is_assignable_v<M&, const T&>
  Signal& assign(const std::shared_ptr<C>& object, M C::*property, DispatchQueue queue) {
    return onUpdate(object, std::move(queue),
                    [property](C& target, const T& value) { target.*property = value; });
  }
  template <class C, class S>
    requires(!std::is_member_object_pointer_v<std::decay_t<S>> && BlockTaking<S, C&, const T&>)
  Signal& assign(const std::shared_ptr<C>& object, S&& setter, DispatchQueue queue) {
    return onUpdate(object, std::move(queue), std::forward<S>(setter));
  }

  // assign() with the write inside withAnimation().
  template <class C, class M>
    requires std::is_assignable_v<M&, const T&>
  Signal& assignAnimated(const std::shared_ptr<C>& object, M C::*property, DispatchQueue queue) {
    return onUpdate(object, std::move(queue), [property](C& target, const T& value) {
      withAnimation([&] { target.*property = value; });
    });
  }
  template <class C, class S>
    requires(!std::is_member_object_pointer_v<std::decay_t<S>> && BlockTaking<S, C&, const T&>)
  Signal& assignAnimated(const std::shared_ptr<C>& object, S&& setter, DispatchQueue queue) {
    return onUpdate(
        object, std::move(queue),
        [setter = std::decay_t<S>(std::forward<S>(setter))](C& target, const T& value) mutable {
          withAnimation([&] { std::invoke(setter, target, value); });
        });
  }

  // Appends every value to a list property of `object` (held weakly) on
  // `queue`: a data member with push_back (`&Model::log`), or a modifier
  // callable `(C&, const T&)` that appends in place.
  template <class C, class M>
    requires requires(M& list, const T& value) { list.push_back(value); }
  Signal& append(const std::shared_ptr<C>& object, M C::*property, DispatchQueue queue) {
    return onUpdate(object, std::move(queue),
                    [property](C& target, const T& value) { (target.*property).push_back(value); });
  }
  template <class C, class S>
    requires(!std::is_member_object_pointer_v<std::decay_t<S>> && BlockTaking<S, C&, const T&>)
  Signal& append(const std::shared_ptr<C>& object, S&& modifier, DispatchQueue queue) {
    return onUpdate(object, std::move(queue), std::forward<S>(modifier));
  }

  // Forwards every value to `target->update(value)` on `queue` (else this
  // signal's queue). With `retain`, the handler holds the target strongly
  // (this signal keeps it alive; a signal forwarding to itself this way is
  // never released); without, weakly: nothing is forwarded once it is gone.
  Signal& updating(const std::shared_ptr<Signal<T>>& target, std::optional<DispatchQueue> queue,
                   bool retain) {
    if (retain) {
      return onUpdate(std::move(queue), [target](const T& value) { target->update(value); });
    }
    return onUpdate(target, std::move(queue),
                    [](Signal<T>& weakTarget, const T& value) { weakTarget.update(value); });
  }
  Signal& updating(const std::shared_ptr<Signal<T>>& target, bool retain) {
    return updating(target, std::nullopt, retain);
  }

 protected:
  // Creates a signal of class S (constructed with a Passkey and `args`), then,
  // with an initial value, calls its (possibly overridden) update().
  template <class S, class... A>
  static std::shared_ptr<S> makeDerived(std::optional<T> initial, A&&... args) {
    auto signal = std::make_shared<S>(Passkey(), std::forward<A>(args)...);
    if (initial) signal->update(*initial);
    return signal;
  }

 private:
  using Buffer = mornik::detail::SignalBuffer<T>;
  using HandlerPointer = std::shared_ptr<mornik::detail::SignalHandler<T>>;
  using HandlerList = mornik::detail::AppendOnlyList<HandlerPointer>;
  using Guard = mornik::detail::ScopedLock<mornik::detail::SignalLock>;

  // For the destructor: no other thread can reach the signal any more, and
  // the last owner's release ordered their work before it. Taking the lock
  // here would only withdraw its bias, at the price of a process-wide barrier.
  typename HandlerList::Prefix handlersAtEnd() const MORNIK_NO_THREAD_SAFETY_ANALYSIS {
    return handlers_.prefix();
  }

  // What retain() keeps: a list linked at the front, made outside the lock.
  struct Retained {
    explicit Retained(std::shared_ptr<const void> kept) : object(std::move(kept)) {}
    Retained(const Retained&) = delete;
    Retained& operator=(const Retained&) = delete;
    std::shared_ptr<const void> object;
    std::unique_ptr<Retained> next;
    ~Retained() {
      // Unlink iteratively: no deep recursion of unique_ptr destructors.
      std::unique_ptr<Retained> rest = std::move(next);
      while (rest) rest = std::move(rest->next);
    }
  };

  // Lists the handler, with the buffered value as its replay, in one
  // critical section that only moves pointers (a segment of the list, when
  // one is needed, is made before, outside the lock); then submits the
  // replay.
  Signal& subscribe(HandlerPointer handler) MORNIK_EXCLUDES(lock_) {
    typename HandlerList::Spare spare;
    bool replay = false;
    for (;;) {
      std::size_t capacity = 0;
      {
        Guard guard(lock_);
        capacity = handlers_.roomNeeded(spare);
        if (capacity == 0) {
          replay = static_cast<bool>(buffer_);
          if (replay) handler->setReplay(buffer_);
          handlers_.append(handler, spare);
          break;
        }
      }
      spare = HandlerList::makeSpare(capacity);
    }
    if (auto* seam = mornik::detail::signalSubscribeSeam.load(std::memory_order_relaxed)) seam();
    if (replay) handler->callReplay();
    return *this;
  }

  mutable mornik::detail::SignalLock lock_;
  std::unique_ptr<Retained> retained_ MORNIK_GUARDED_BY(lock_);
  Buffer buffer_ MORNIK_GUARDED_BY(lock_);
  const DispatchQueue queue_;
  HandlerList handlers_ MORNIK_GUARDED_BY(lock_);
};

}  // namespace mornik::Flow

MORNIK_EXPORTS_END

// The definitions of debounce() and throttle().
#include "mornik/flow/signal/Throttle.hpp"  // IWYU pragma: export
