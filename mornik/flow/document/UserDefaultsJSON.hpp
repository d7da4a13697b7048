#pragma once

#include <concepts>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "mornik/base/Export.hpp"
#include "mornik/base/Output.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/flow/document/Codecs.hpp"
#include "mornik/flow/document/IO.hpp"
#include "mornik/flow/observe/Binding.hpp"
#include "mornik/flow/observe/ObservableObject.hpp"
#include "mornik/flow/observe/ObservableState.hpp"
#include "mornik/settings/UserDefaults.hpp"
#include "mornik/text/Json.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// A stored property for user-interface code whose value lives as JSON text
// under a key of a settings store: read once when the property is made,
// written on every assignment, and held in an observable state cell, so
// that views reading it refresh when it changes.
//
//   struct Preferences {
//     UserDefaultsJSON<Layout> layout{Layout{}, "layout"};
//   };
//   prefs.layout = Layout{.columns = 3};          // stored, then views notified
//   prefs.layout.modify([](Layout& l) { ++l.columns; });
//   columnsStepper.bind(prefs.layout.binding());
//   auto s = prefs.layout.objectWillChange().subscribe([&] { relayout(); });
//
// Construction reads the key through jsonUserDefaultsIO. When that fails
// (a key never written included) it prints the line
// "UserDefaultsJSON: ERROR <the error's description>" on standard output
// and starts with the given value; the given value is kept as
// initialValue() either way.
//
// Assignment (set(), `=`, the end of modify()): writes the value as JSON
// (pretty printed, keys sorted) under the key, synchronously, then stores it
// in the cell, which notifies the cell's subscribers on their queues. A
// failed write is not reported: the value in memory changes regardless.
//
// Copies share the state cell (and the store): an assignment through one
// copy is read through all of them.
// Thread safety: meant for the main thread, as view state is; each member
// is safe to call from any thread, but two assignments made at once from
// two threads may reach the store and the cell in different orders.
template <class T>
  requires Decodable<T> && Encodable<T>
class UserDefaultsJSON {
 public:
  UserDefaultsJSON(T wrappedValue, const std::string& key,
                   std::shared_ptr<UserDefaults> userDefaults = UserDefaults::standard())
      : initialValue_(wrappedValue),
        userDefaults_(std::move(userDefaults)),
        io_(Flow::jsonUserDefaultsIO<T>(key, userDefaults_)),
        currentValue_(makeCell(io_, std::move(wrappedValue))) {}

  // The current value.
  T get() const { return currentValue_->get(); }
  operator T() const { return get(); }  // NOLINT(google-explicit-constructor)

  // Stores `value` under the key, then in the cell.
  void set(const T& value) {
    (void)io_.writeContent(value);
    currentValue_->set(value);
  }
  UserDefaultsJSON& operator=(const T& value) {
    set(value);
    return *this;
  }

  // Reads the value, lets `change` edit that copy, then assigns it (one
  // write); returns what the block returns.
  template <class F>
    requires std::invocable<F&, T&>
  decltype(auto) modify(F&& change) {
    T value = get();
    if constexpr (std::is_void_v<std::invoke_result_t<F&, T&>>) {
      std::invoke(change, value);
      set(value);
    } else {
      auto result = std::invoke(change, value);
      set(value);
      return result;
    }
  }

  // A binding whose getter reads the value and whose setter assigns it (the
  // projected value); it holds the cell and the codec.
  Binding<T> binding() const {
    return Binding<T>([cell = currentValue_] { return cell->get(); },
                      [cell = currentValue_, io = io_](T value) {
                        (void)io.writeContent(value);
                        cell->set(std::move(value));
                      });
  }

  // The cell's change publisher: views subscribe here.
  ChangePublisher& objectWillChange() const { return currentValue_->objectWillChange(); }

  // The value given at construction.
  const T& initialValue() const noexcept { return initialValue_; }
  const std::shared_ptr<UserDefaults>& userDefaults() const noexcept { return userDefaults_; }

 private:
  static std::shared_ptr<ObservableState<T>> makeCell(const Flow::IO<T>& io, T fallback) {
    auto read = io.readContent();
    if (read.isSuccess()) return ObservableState<T>::make(std::move(read).value());
    printLine("UserDefaultsJSON: ERROR " + read.error().localizedDescription());
    return ObservableState<T>::make(std::move(fallback));
  }

  T initialValue_;
  std::shared_ptr<UserDefaults> userDefaults_;
  Flow::IO<T> io_;
  std::shared_ptr<ObservableState<T>> currentValue_;
};

}  // namespace mornik

MORNIK_EXPORTS_END
