#pragma once

#include <memory>
#include <utility>
#include <variant>

#include "mornik/base/Export.hpp"
#include "mornik/base/TypeKey.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/flow/signal/Signal.hpp"
#include "mornik/flow/signal/detail/TypeKeyedEntries.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// Carries the values of one type through the process-wide notification hub:
// a signal of T, with an empty buffer at first, on DispatchQueue::global().
//
// Thread safety: every member may be called from any thread.
template <class T>
class SignalDispatcher {
  struct Passkey {
    explicit Passkey() = default;
  };

 public:
  static std::shared_ptr<SignalDispatcher> make() {
    return std::make_shared<SignalDispatcher>(Passkey());
  }
  explicit SignalDispatcher(Passkey /*unused*/)
      : dispatcher_(Flow::Signal<T>::make(DispatchQueue::global())) {}

  // The signal the values travel on.
  const std::shared_ptr<Flow::Signal<T>>& dispatcher() const noexcept { return dispatcher_; }

  // Publishes `value` on the signal.
  void send(const T& value) const { dispatcher_->update(value); }

 private:
  const std::shared_ptr<Flow::Signal<T>> dispatcher_;
};

namespace Flow {

// The process-wide notification hub: the same contract as SignalsService
// (send, subscribeFor, onSubscribe; see there), with each type's values
// carried by a SignalDispatcher. Every signal it makes, notifiers included,
// runs its handlers on DispatchQueue::global() unless they name a queue.
//
//   struct ThemeChanged { bool dark; };
//   Flow::Notifications::main()->subscribeFor<ThemeChanged>()->onUpdate(
//       DispatchQueue::main(), [](const ThemeChanged& t) { repaint(t.dark); });
//   Flow::Notifications::main()->send(ThemeChanged{true});
//
// Thread safety: every member may be called from any thread. A short lock
// guards the tables; values are sent and notifiers fired outside it.
class Notifications final {
  struct Passkey {
    explicit Passkey() = default;
  };

 public:
  using Notifier = Signal<std::monostate>;

  static std::shared_ptr<Notifications> make() {
    return std::make_shared<Notifications>(Passkey());
  }
  explicit Notifications(Passkey /*unused*/) {}
  Notifications(const Notifications&) = delete;
  Notifications& operator=(const Notifications&) = delete;

  // The process-wide hub, made on first use.
  static std::shared_ptr<Notifications> main();
  // Replaces the process-wide hub; null makes the next main() create a new
  // one. Holders of the old hub keep it.
  static void setMain(std::shared_ptr<Notifications> hub);

  // Publishes `value` through the dispatcher of T (made if needed).
  template <class T>
  void send(const T& value) {
    dispatcherOf<T>()->send(value);
  }

  // The dispatcher signal of T (made if needed), after firing the notifier
  // of T if one exists.
  template <class T>
  std::shared_ptr<Signal<T>> subscribeFor() {
    if (auto notifier = entries_.existingNotifier(TypeKey::of<T>())) {
      notifier->update(std::monostate());
    }
    return dispatcherOf<T>()->dispatcher();
  }

  // The notifier of T, made (empty, on DispatchQueue::global()) if needed.
  template <class T>
  std::shared_ptr<Notifier> onSubscribe() {
    return entries_.notifier(TypeKey::of<T>(), DispatchQueue::global());
  }

  // The dispatcher of T (made if needed).
  template <class T>
  std::shared_ptr<SignalDispatcher<T>> dispatcherOf() {
    return entries_.entry<SignalDispatcher<T>>(TypeKey::of<T>(),
                                               [] { return SignalDispatcher<T>::make(); });
  }

 private:
  mornik::detail::TypeKeyedEntries entries_;
};

}  // namespace Flow

}  // namespace mornik

MORNIK_EXPORTS_END
