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

namespace mornik::Flow {

// A type-keyed publish/subscribe hub: senders publish values of a type,
// receivers get the signal of that type, and a sender can ask to be told
// whenever somebody subscribes to a type. Every Pool carries one; a
// process-wide one is shared().
//
//   struct Progress { double done; };
//   auto hub = Flow::SignalsService::shared();
//   hub->onSubscribe<Progress>()->onUpdate([](std::monostate) { startReporting(); });
//   hub->subscribeFor<Progress>()->onUpdate(DispatchQueue::main(),
//                                           [](const Progress& p) { bar.set(p.done); });
//   hub->send(Progress{0.5});
//
// Entries are keyed by the static type (TypeKey): values of two different
// types never meet, and every call naming the same type reaches the same
// signal. Each type's signal and notifier are made on first use, with an
// empty buffer, on this hub's queue, and live as long as the hub.
//
// Because signals keep their latest value: a subscriber that comes after a
// value was sent receives that value at once; a sender that registers on a
// notifier after somebody subscribed is told at once (the notifier's buffer
// holds the fired value). subscribeFor() fires only a notifier that exists:
// a subscription made before any onSubscribe() for that type leaves no
// trace.
//
// Thread safety: every member may be called from any thread. A short lock
// guards the tables; values are sent and notifiers fired outside it.
// Callbacks: on the handlers' queues (by default the hub's queue), never
// inside send() or subscribeFor().
// Ownership: the hub owns its signals; a signal handed out keeps working
// after the hub is gone, but the hub then no longer feeds it.
class SignalsService {
 protected:
  struct Passkey {
    explicit Passkey() = default;
  };

 public:
  // The signal of subscriptions to a type: fired with an empty value.
  using Notifier = Signal<std::monostate>;

  // A hub whose signals run their handlers on `queue`.
  static std::shared_ptr<SignalsService> make(DispatchQueue queue) {
    return std::make_shared<SignalsService>(Passkey(), std::move(queue));
  }

  SignalsService(Passkey /*unused*/, DispatchQueue queue) : queue_(std::move(queue)) {}
  virtual ~SignalsService() = default;
  SignalsService(const SignalsService&) = delete;
  SignalsService& operator=(const SignalsService&) = delete;

  // The process-wide hub, made on first use on DispatchQueue::global().
  static std::shared_ptr<SignalsService> shared();
  // Replaces the process-wide hub; null makes the next shared() create a
  // new one. Holders of the old hub keep it.
  static void setShared(std::shared_ptr<SignalsService> service);

  // The queue of every signal this hub makes.
  const DispatchQueue& queue() const noexcept { return queue_; }

  // Publishes `value` on the signal of T (made if needed): it becomes the
  // signal's buffered value and reaches every handler registered on it.
  template <class T>
  void send(const T& value) {
    signalOf<T>()->update(value);
  }

  // The signal of T (made if needed). First fires the notifier of T, if
  // one exists. Calls for the same T return the same signal.
  template <class T>
  std::shared_ptr<Signal<T>> subscribeFor() {
    if (auto notifier = entries_.existingNotifier(TypeKey::of<T>())) {
      notifier->update(std::monostate());
    }
    return signalOf<T>();
  }

  // The notifier of T, made (empty, on this hub's queue) if needed; fired
  // by every later subscribeFor<T>().
  template <class T>
  std::shared_ptr<Notifier> onSubscribe() {
    return entries_.notifier(TypeKey::of<T>(), queue_);
  }

 private:
  template <class T>
  std::shared_ptr<Signal<T>> signalOf() {
    return entries_.entry<Signal<T>>(TypeKey::of<T>(), [this] { return Signal<T>::make(queue_); });
  }

  const DispatchQueue queue_;
  mornik::detail::TypeKeyedEntries entries_;
};

}  // namespace mornik::Flow

MORNIK_EXPORTS_END
