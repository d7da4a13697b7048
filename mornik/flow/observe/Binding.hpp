#pragma once

#include <functional>
#include <memory>
#include <utility>

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// A two-way binding for a user interface: a getter that reads the current
// value and a setter that stores a new one, wherever the value lives.
//
//   mornik::Binding<std::string> name(
//       [model] { return model->name(); },
//       [model](std::string v) { model->setName(std::move(v)); });
//   textField.bind(name);
//
// A Binding is a cheap value; copies share the two callables. It keeps alive
// whatever its callables capture.
// Thread safety: as safe as its callables.
template <class T>
class Binding {
 public:
  using Getter = std::function<T()>;
  using Setter = std::function<void(T)>;

  Binding(Getter getter, Setter setter)
      : callables_(
            std::make_shared<const Callables>(Callables{std::move(getter), std::move(setter)})) {}

  // A binding that always reads `value` and ignores writes.
  static Binding constant(T value) {
    return Binding([value] { return value; }, [](T /*ignored*/) {});
  }

  T get() const { return callables_->getter(); }
  operator T() const { return get(); }  // NOLINT(google-explicit-constructor)
  void set(T value) const { callables_->setter(std::move(value)); }

 private:
  struct Callables {
    Getter getter;
    Setter setter;
  };
  std::shared_ptr<const Callables> callables_;
};

}  // namespace mornik

MORNIK_EXPORTS_END
