#pragma once

#include <concepts>
#include <memory>
#include <utility>

#include "mornik/base/Export.hpp"
#include "mornik/flow/observe/Binding.hpp"
#include "mornik/flow/observe/ObservableObject.hpp"
#include "mornik/flow/observe/Published.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// An observable state cell: one value that views read and re-read when it
// changes. Every write announces through objectWillChange() (subscribers are
// notified asynchronously, on their queues, and then read the new value).
//
//   auto zoom = mornik::ObservableState<double>::make(1.0);
//   auto s = zoom->objectWillChange().subscribe([zoom] { render(zoom->get()); });
//   zoom->set(2.0);
//   slider.bind(zoom->binding());
//
// Ownership: held by std::shared_ptr; binding() keeps the cell alive.
// Thread safety: every member may be called from any thread.
template <class T>
class ObservableState final : public ObservableObject,
                              public std::enable_shared_from_this<ObservableState<T>> {
  struct Passkey {
    explicit Passkey() = default;
  };

 public:
  static std::shared_ptr<ObservableState> make(T initial) {
    return std::make_shared<ObservableState>(Passkey(), std::move(initial));
  }
  ObservableState(Passkey /*unused*/, T initial) : value_(*this, std::move(initial)) {}

  T get() const { return value_.get(); }
  void set(T value) { value_.set(std::move(value)); }
  template <class F>
    requires std::invocable<F&, T&>
  decltype(auto) modify(F&& change) {
    return value_.modify(std::forward<F>(change));
  }

  // A binding that reads and writes this cell (and keeps it alive).
  Binding<T> binding() {
    auto self = this->shared_from_this();
    return Binding<T>([self] { return self->get(); },
                      [self](T value) { self->set(std::move(value)); });
  }

 private:
  Published<T> value_;
};

}  // namespace mornik

MORNIK_EXPORTS_END
