#pragma once

#include <concepts>
#include <functional>
#include <memory>
#include <utility>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/QoS.hpp"
#include "mornik/flow/observe/Binding.hpp"
#include "mornik/flow/observe/ObservableObject.hpp"
#include "mornik/flow/pool/Streamed.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::Flow {

// An observable box around one value, for user-interface code: every write
// of `content` is published on its signal and then announced through
// objectWillChange() on the main queue.
//
//   auto name = Flow::Value<std::string>::make("untitled");
//   auto s = name->objectWillChange().subscribe([name] { title(name->content.get()); });
//   name->content = "report.txt";          // from any thread
//   textField.bind(name->asBinding());
//
// Notifications: the box registers on content.signal() with itself as a
// weakly held context and the main queue; that handler sends
// objectWillChange(). So one notification follows each write (also of an
// equal value), always sent from the main queue and always after the new
// value is readable; a write made just before a notification runs may be
// read by it too. Because the signal already holds the initial value when
// the box registers, one notification is also sent shortly after make().
//
// `content` is a Streamed member: read it with get() (or implicitly), write
// it with set() or `=`, change it in place with modify(), and observe it
// through content.signal(), whose handlers run on the global
// user-interactive queue unless they name another.
//
// Ownership: held by std::shared_ptr. The signal's handler holds the box
// weakly, so neither the signal nor its subscribers keep it alive; once it
// is gone, writes through the signal announce nothing. asBinding() holds
// the box strongly.
// Thread safety: every member may be called from any thread.
template <class T>
class Value final : public ObservableObject, public std::enable_shared_from_this<Value<T>> {
  struct Passkey {
    explicit Passkey() = default;
  };

 public:
  using Pointer = std::shared_ptr<Value>;

  // A box holding `value`.
  static Pointer make(T value) {
    auto box = std::make_shared<Value>(Passkey(), std::move(value));
    box->content.signal()->onUpdate(box, DispatchQueue::main(), [](Value& self, const T& /*new*/) {
      self.objectWillChange().send();
    });
    return box;
  }

  // make(value), then `block(box)` once, synchronously, with the finished box
  // (as `Value&` or `const std::shared_ptr<Value>&`); the block is not kept.
  template <class F>
    requires(std::invocable<F&, Value&> || std::invocable<F&, const Pointer&>)
  static Pointer make(T value, F&& block) {
    Pointer box = make(std::move(value));
    if constexpr (std::invocable<F&, Value&>) {
      std::invoke(block, *box);
    } else {
      std::invoke(block, box);
    }
    return box;
  }

  Value(Passkey /*unused*/, T value)
      : content(std::move(value), DispatchQueue::global(QoS::userInteractive)) {}

  // The boxed value (see above).
  Streamed<T> content;

  // A binding whose getter reads `content` and whose setter writes it; both
  // hold this box.
  Binding<T> asBinding() {
    Pointer self = this->shared_from_this();
    return Binding<T>([self] { return self->content.get(); },
                      [self](T value) { self->content.set(value); });
  }
};

}  // namespace mornik::Flow

MORNIK_EXPORTS_END
