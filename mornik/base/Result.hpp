#pragma once

#include <concepts>
#include <coroutine>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>

#include "mornik/base/Describe.hpp"
#include "mornik/base/Error.hpp"
#include "mornik/base/ErrorFlow.hpp"
#include "mornik/base/Export.hpp"
#include "mornik/base/Output.hpp"
#include "mornik/base/TypeName.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

template <class T>
class Result;

namespace detail {

template <class R>
struct ResultTraits {
  static constexpr bool isResult = false;
};
template <class U>
struct ResultTraits<Result<U>> {
  static constexpr bool isResult = true;
  using Success = U;
};

// The result of calling a block that returns an awaitable (an asynchronous
// block) inside onSuccess / onFailure. mornik/concurrency/AsyncResult.hpp (included
// by Future.hpp) specializes it for Task; without it such blocks do not
// compile.
template <class Awaitable>
struct AsyncResultBlock;

// A condition of the `ifThen` family: a bool, a predicate on the value, or a
// member pointer to a bool member of the value.
template <class C, class... V>
bool holds(C& condition, const V&... value) {
  if constexpr (std::is_same_v<std::remove_cvref_t<C>, bool>) {
    return condition;
  } else {
    return static_cast<bool>(std::invoke(condition, value...));
  }
}

// An awaitable that is ready at once with a stored result.
template <class R>
struct ReadyResult {
  R result;
  bool await_ready() const noexcept { return true; }
  void await_suspend(std::coroutine_handle<> /*unused*/) const noexcept {}
  R await_resume() { return std::move(result); }
};

}  // namespace detail

// Whether R is some Result<U>.
template <class R>
concept IsResult = detail::ResultTraits<std::remove_cvref_t<R>>::isResult;

// Either a success value of type T or an Error: the currency of every
// fallible operation of the library.
//
//   mornik::Result<int> parsed = parse(text);           // success(42) or failure
//   auto doubled = parsed | [](int n) { return 2 * n; };  // map
//   auto checked = parsed | [](int n) -> mornik::Result<int> {
//     if (n < 0) return mornik::WTF("negative", 0);
//     return n;
//   };                                                    // flatMap
//   checked.onFailure([](const mornik::Error& e) { log(e.detailedDescription()); });
//
// A Result is built implicitly from a T (success) or an Error (failure).
// Every operation leaves a failure untouched unless it says otherwise, and
// operations that "return the result unchanged" return a copy (or, called on
// an rvalue, the moved result) so that calls chain. Results cannot be
// silently dropped ([[nodiscard]]).
//
// Thread safety: a Result is a plain value, like std::variant.
template <class T>
class [[nodiscard]] Result {
  static_assert(!std::is_reference_v<T>, "Result<T&> is not supported: hold a value");
  static_assert(!std::is_same_v<std::remove_cv_t<T>, Error>,
                "Result<Error> would be ambiguous: an Error is the failure");

 public:
  using Success = T;

  Result(const T& value)  // NOLINT(google-explicit-constructor)
    requires std::copy_constructible<T>
      : storage_(std::in_place_index<0>, value) {}
  Result(T&& value)  // NOLINT(google-explicit-constructor)
      : storage_(std::in_place_index<0>, std::move(value)) {}
  template <class U>
    requires(!std::is_same_v<std::remove_cvref_t<U>, T> &&
             !std::is_same_v<std::remove_cvref_t<U>, Error> && !IsResult<U> &&
             std::is_constructible_v<T, U &&> && std::is_convertible_v<U &&, T>)
  Result(U&& value)  // NOLINT(google-explicit-constructor,bugprone-forwarding-reference-overload)
      : storage_(std::in_place_index<0>, std::forward<U>(value)) {}
  Result(Error error)  // NOLINT(google-explicit-constructor)
      : storage_(std::in_place_index<1>, std::move(error)) {}

  template <class... A>
  static Result success(A&&... args) {
    return Result(Storage(std::in_place_index<0>, std::forward<A>(args)...));
  }
  static Result failure(Error error) { return Result(std::move(error)); }
  // failure(WTF(message, code))
  static Result wtf(std::string message, std::int64_t code) {
    return Result(WTF(std::move(message), code));
  }
  static Result notImplemented() { return wtf("something not implemented", 0); }
  static Result notImplemented(std::string_view what) {
    return wtf(std::string(what) + " not implemented", 0);
  }

  // ---- Queries ----

  bool isSuccess() const noexcept { return storage_.index() == 0; }
  bool isFailure() const noexcept { return storage_.index() == 1; }

  // The success value; throws the Error when this is a failure.
  T& value() & {
    throwIfFailure();
    return std::get<0>(storage_);
  }
  const T& value() const& {
    throwIfFailure();
    return std::get<0>(storage_);
  }
  T&& value() && {
    throwIfFailure();
    return std::get<0>(std::move(storage_));
  }

  // The error; calling it on a success is a programming error and throws
  // std::logic_error.
  const Error& error() const {
    if (isSuccess()) throwNoError();
    return std::get<1>(storage_);
  }

  std::optional<T> maybeSuccess() const& {
    if (isFailure()) return std::nullopt;
    return std::get<0>(storage_);
  }
  std::optional<T> maybeSuccess() && {
    if (isFailure()) return std::nullopt;
    return std::get<0>(std::move(storage_));
  }
  std::optional<Error> maybeFailure() const {
    if (isSuccess()) return std::nullopt;
    return std::get<1>(storage_);
  }

  // The success value, or `fallback` on failure.
  template <class U>
  T valueOr(U&& fallback) const& {
    return isSuccess() ? std::get<0>(storage_) : static_cast<T>(std::forward<U>(fallback));
  }

  // ---- Side effects; each returns the result unchanged ----

  // Runs `block(value)` on a success. (A block returning an awaitable makes
  // this the asynchronous variant: see detail::AsyncResultBlock.)
  template <class F>
    requires std::invocable<F&, const T&>
  auto onSuccess(F&& block) const& {
    return onCaseImpl<0>(*this, std::forward<F>(block));
  }
  template <class F>
    requires std::invocable<F&, const T&>
  auto onSuccess(F&& block) && {
    return onCaseImpl<0>(std::move(*this), std::forward<F>(block));
  }

  // Runs `block(error)` on a failure.
  template <class F>
    requires std::invocable<F&, const Error&>
  auto onFailure(F&& block) const& {
    return onCaseImpl<1>(*this, std::forward<F>(block));
  }
  template <class F>
    requires std::invocable<F&, const Error&>
  auto onFailure(F&& block) && {
    return onCaseImpl<1>(std::move(*this), std::forward<F>(block));
  }

  // Prints one line on standard output: "content: <value>" or
  // "ERROR: <localizedDescription>".
  Result dump() const& {
    printDump();
    return *this;
  }
  Result dump() && {
    printDump();
    return std::move(*this);
  }

  // The same result with the success value dropped.
  Result<void> asVoid() const;

  // On success, writes the value into `object`: through a member pointer
  // (`&Model::count`) or a setter callable `(C&, const T&)`.
  template <class C, class M>
    requires std::is_assignable_v<M&, const T&>
  Result assignRSuccess(M C::*member, C& object) const& {
    if (isSuccess()) object.*member = std::get<0>(storage_);
    return *this;
  }
  template <class C, class M>
    requires std::is_assignable_v<M&, const T&>
  Result assignRSuccess(M C::*member, C& object) && {
    if (isSuccess()) object.*member = std::get<0>(storage_);
    return std::move(*this);
  }
  template <class Setter, class C>
    requires(!std::is_member_object_pointer_v<std::remove_cvref_t<Setter>> &&
             std::invocable<Setter&, C&, const T&>)
  Result assignRSuccess(Setter&& setter, C& object) const& {
    if (isSuccess()) std::invoke(setter, object, std::get<0>(storage_));
    return *this;
  }

  // On failure, writes the error into an optional-error member of `object`
  // (or through a setter callable `(C&, const Error&)`).
  template <class C>
  Result assignRError(std::optional<Error> C::*member, C& object) const& {
    if (isFailure()) object.*member = std::get<1>(storage_);
    return *this;
  }
  template <class Setter, class C>
    requires(!std::is_member_object_pointer_v<std::remove_cvref_t<Setter>> &&
             std::invocable<Setter&, C&, const Error&>)
  Result assignRError(Setter&& setter, C& object) const& {
    if (isFailure()) std::invoke(setter, object, std::get<1>(storage_));
    return *this;
  }

  // On failure, hands the error to `sink.append(error)`. A null or expired
  // sink does nothing.
  Result failing(ErrorFlow& sink) const& {
    if (isFailure()) sink.append(std::get<1>(storage_));
    return *this;
  }
  Result failing(ErrorFlow& sink) && {
    if (isFailure()) sink.append(std::get<1>(storage_));
    return std::move(*this);
  }
  Result failing(ErrorFlow* sink) const& {
    if (sink != nullptr) return failing(*sink);
    return *this;
  }
  template <class S>
    requires std::derived_from<S, ErrorFlow>
  Result failing(const std::shared_ptr<S>& sink) const& {
    return failing(static_cast<ErrorFlow*>(sink.get()));
  }
  template <class S>
    requires std::derived_from<S, ErrorFlow>
  Result failing(const std::weak_ptr<S>& sink) const& {
    return failing(std::shared_ptr<S>(sink.lock()));
  }

  // ---- Transformations ----

  // success(f(value)); f may return void (giving Result<void>).
  template <class F>
    requires std::invocable<F&, const T&>
  auto map(F&& f) const& {
    return mapImpl(*this, f);
  }
  template <class F>
    requires std::invocable<F&, T&&>
  auto map(F&& f) && {
    return mapImpl(std::move(*this), f);
  }

  // f(value), where f returns a Result.
  template <class F>
    requires std::invocable<F&, const T&>
  auto flatMap(F&& f) const& {
    return flatMapImpl(*this, f);
  }
  template <class F>
    requires std::invocable<F&, T&&>
  auto flatMap(F&& f) && {
    return flatMapImpl(std::move(*this), f);
  }

  // `result | f`: flatMap when f returns a Result, else map.
  template <class F>
    requires std::invocable<F&, const T&>
  friend auto operator|(const Result& result, F&& f) {
    if constexpr (IsResult<std::invoke_result_t<F&, const T&>>) {
      return result.flatMap(f);
    } else {
      return result.map(f);
    }
  }
  template <class F>
    requires std::invocable<F&, T&&>
  friend auto operator|(Result&& result, F&& f) {
    if constexpr (IsResult<std::invoke_result_t<F&, T&&>>) {
      return std::move(result).flatMap(f);
    } else {
      return std::move(result).map(f);
    }
  }

  // On success calls `f(value)`; an exception thrown by f becomes the
  // failure (Error::fromCurrentException). f may return a plain value or a
  // Result.
  template <class F>
    requires std::invocable<F&, const T&>
  auto flatMapTry(F&& f) const& {
    return flatMapTryImpl(*this, f);
  }
  template <class F>
    requires std::invocable<F&, T&&>
  auto flatMapTry(F&& f) && {
    return flatMapTryImpl(std::move(*this), f);
  }

  // On success: `then(value)` if the condition holds, else the unchanged
  // success. The condition is a bool, a predicate on the value, or a member
  // pointer to a bool member of the value.
  template <class C, class Then>
  Result ifThen(C&& condition, Then&& then) const& {
    return ifThenImpl(*this, condition, then);
  }
  template <class C, class Then>
  Result ifThen(C&& condition, Then&& then) && {
    return ifThenImpl(std::move(*this), condition, then);
  }

  // On success: `then(value)` if the condition holds, else `otherwise(value)`;
  // both branches return the same Result<U>.
  template <class C, class Then, class Else>
  auto ifThenElse(C&& condition, Then&& then, Else&& otherwise) const& {
    return ifThenElseImpl(*this, condition, then, otherwise);
  }
  template <class C, class Then, class Else>
  auto ifThenElse(C&& condition, Then&& then, Else&& otherwise) && {
    return ifThenElseImpl(std::move(*this), condition, then, otherwise);
  }

  // ifThenElse with a predicate, under the name of a flatMap.
  template <class P, class Then, class Else>
  auto flatMapIf(P&& predicate, Then&& then, Else&& otherwise) const& {
    return ifThenElseImpl(*this, predicate, then, otherwise);
  }

  // If this is a failure whose error code equals `code`, returns `block()`;
  // every other failure and every success pass through unchanged.
  template <class F>
    requires std::convertible_to<std::invoke_result_t<F&>, Result>
  Result ifError(std::int64_t code, F&& block) const& {
    if (isFailure() && std::get<1>(storage_).code() == code) return std::invoke(block);
    return *this;
  }
  template <class F>
    requires std::convertible_to<std::invoke_result_t<F&>, Result>
  Result ifError(std::int64_t code, F&& block) && {
    if (isFailure() && std::get<1>(storage_).code() == code) return std::invoke(block);
    return std::move(*this);
  }

  // `co_await result.wait()`: the result itself, without suspending; lets
  // code treat results and tasks alike.
  detail::ReadyResult<Result> wait() const& { return {*this}; }
  detail::ReadyResult<Result> wait() && { return {std::move(*this)}; }

  friend bool operator==(const Result& a, const Result& b)
    requires std::equality_comparable<T>
  {
    return a.storage_ == b.storage_;
  }

 private:
  template <class U>
  friend class Result;
  using Storage = std::variant<T, Error>;

  explicit Result(Storage storage) : storage_(std::move(storage)) {}

  void throwIfFailure() const {
    if (isFailure()) throw std::get<1>(storage_);
  }
  [[noreturn]] static void throwNoError();

  void printDump() const {
    if (isSuccess()) {
      printLine("content: " + describe(std::get<0>(storage_)));
    } else {
      printLine("ERROR: " + std::get<1>(storage_).localizedDescription());
    }
  }

  // onSuccess (Case 0) and onFailure (Case 1): the block sees the case's
  // payload; the result passes on unchanged.
  template <std::size_t Case, class Self, class F>
  static auto onCaseImpl(Self&& self, F&& block) {
    using Payload = std::variant_alternative_t<Case, Storage>;
    using R = std::invoke_result_t<F&, const Payload&>;
    if constexpr (std::is_void_v<R>) {
      if (self.storage_.index() == Case)
        std::invoke(block, std::as_const(std::get<Case>(self.storage_)));
      return Result(std::forward<Self>(self));
    } else if constexpr (Case == 0) {
      return detail::AsyncResultBlock<R>::onSuccess(Result(std::forward<Self>(self)),
                                                    std::forward<F>(block));
    } else {
      return detail::AsyncResultBlock<R>::onFailure(Result(std::forward<Self>(self)),
                                                    std::forward<F>(block));
    }
  }

  template <class Self>
  using ValueRef = decltype(std::get<0>(std::declval<Self>().storage_));

  template <class Self, class F>
  static auto mapImpl(Self&& self, F& f) {
    using U = std::invoke_result_t<F&, ValueRef<Self>>;
    using Out = Result<std::decay_t<U>>;
    if (self.isFailure()) return Out(std::get<1>(std::forward<Self>(self).storage_));
    if constexpr (std::is_void_v<U>) {
      std::invoke(f, std::get<0>(std::forward<Self>(self).storage_));
      return Out();
    } else {
      return Out::success(std::invoke(f, std::get<0>(std::forward<Self>(self).storage_)));
    }
  }

  template <class Self, class F>
  static auto flatMapImpl(Self&& self, F& f) {
    using Out = std::remove_cvref_t<std::invoke_result_t<F&, ValueRef<Self>>>;
    static_assert(IsResult<Out>, "flatMap needs a block that returns a Result; use map");
    if (self.isFailure()) return Out(std::get<1>(std::forward<Self>(self).storage_));
    return Out(std::invoke(f, std::get<0>(std::forward<Self>(self).storage_)));
  }

  template <class Self, class F>
  static auto flatMapTryImpl(Self&& self, F& f) {
    using U = std::invoke_result_t<F&, ValueRef<Self>>;
    using Out = std::conditional_t<IsResult<U>, std::remove_cvref_t<U>, Result<std::decay_t<U>>>;
    if (self.isFailure()) return Out(std::get<1>(std::forward<Self>(self).storage_));
    try {
      if constexpr (IsResult<U>) {
        return Out(std::invoke(f, std::get<0>(std::forward<Self>(self).storage_)));
      } else if constexpr (std::is_void_v<U>) {
        std::invoke(f, std::get<0>(std::forward<Self>(self).storage_));
        return Out();
      } else {
        return Out::success(std::invoke(f, std::get<0>(std::forward<Self>(self).storage_)));
      }
    } catch (...) {
      return Out(Error::fromCurrentException());
    }
  }

  template <class Self, class C, class Then>
  static Result ifThenImpl(Self&& self, C& condition, Then& then) {
    if (self.isFailure() || !detail::holds(condition, std::get<0>(self.storage_))) {
      return Result(std::forward<Self>(self));
    }
    return std::invoke(then, std::get<0>(std::forward<Self>(self).storage_));
  }

  template <class Self, class C, class Then, class Else>
  static auto ifThenElseImpl(Self&& self, C& condition, Then& then, Else& otherwise) {
    using Out = std::remove_cvref_t<std::invoke_result_t<Then&, ValueRef<Self>>>;
    static_assert(IsResult<Out>, "the branches of ifThenElse return a Result");
    static_assert(
        std::is_same_v<Out, std::remove_cvref_t<std::invoke_result_t<Else&, ValueRef<Self>>>>,
        "both branches of ifThenElse return the same Result type");
    if (self.isFailure()) return Out(std::get<1>(std::forward<Self>(self).storage_));
    if (detail::holds(condition, std::get<0>(self.storage_))) {
      return Out(std::invoke(then, std::get<0>(std::forward<Self>(self).storage_)));
    }
    return Out(std::invoke(otherwise, std::get<0>(std::forward<Self>(self).storage_)));
  }

  Storage storage_;
};

// The result of an operation that produces no value: success, or an Error.
// It offers the operations of Result<T>, with blocks that take no value.
template <>
class [[nodiscard]] Result<void> {
 public:
  using Success = void;

  Result() = default;  // success
  Result(Error error)  // NOLINT(google-explicit-constructor)
      : error_(std::move(error)) {}

  static Result success() { return Result(); }
  static Result failure(Error error) { return Result(std::move(error)); }
  static Result wtf(std::string message, std::int64_t code) {
    return Result(WTF(std::move(message), code));
  }
  static Result notImplemented() { return wtf("something not implemented", 0); }
  static Result notImplemented(std::string_view what) {
    return wtf(std::string(what) + " not implemented", 0);
  }

  bool isSuccess() const noexcept { return !error_.has_value(); }
  bool isFailure() const noexcept { return error_.has_value(); }

  // Throws the Error when this is a failure.
  void value() const {
    if (error_) throw *error_;
  }
  const Error& error() const {
    if (!error_) throwNoError();
    return *error_;
  }
  // Whether this is a success (there is no value to hand out).
  bool maybeSuccess() const noexcept { return isSuccess(); }
  std::optional<Error> maybeFailure() const { return error_; }

  template <class F>
    requires std::invocable<F&>
  auto onSuccess(F&& block) const {
    using R = std::invoke_result_t<F&>;
    if constexpr (std::is_void_v<R>) {
      if (isSuccess()) std::invoke(block);
      return *this;
    } else {
      return detail::AsyncResultBlock<R>::onSuccess(*this, std::forward<F>(block));
    }
  }
  template <class F>
    requires std::invocable<F&, const Error&>
  auto onFailure(F&& block) const {
    using R = std::invoke_result_t<F&, const Error&>;
    if constexpr (std::is_void_v<R>) {
      if (error_) std::invoke(block, *error_);
      return *this;
    } else {
      return detail::AsyncResultBlock<R>::onFailure(*this, std::forward<F>(block));
    }
  }

  // "content: ()" or "ERROR: <localizedDescription>".
  Result dump() const {
    printLine(isSuccess() ? std::string("content: ()")
                          : "ERROR: " + error_->localizedDescription());
    return *this;
  }
  Result asVoid() const { return *this; }

  template <class C>
  Result assignRError(std::optional<Error> C::*member, C& object) const {
    if (error_) object.*member = *error_;
    return *this;
  }
  template <class Setter, class C>
    requires(!std::is_member_object_pointer_v<std::remove_cvref_t<Setter>> &&
             std::invocable<Setter&, C&, const Error&>)
  Result assignRError(Setter&& setter, C& object) const {
    if (error_) std::invoke(setter, object, *error_);
    return *this;
  }

  Result failing(ErrorFlow& sink) const {
    if (error_) sink.append(*error_);
    return *this;
  }
  Result failing(ErrorFlow* sink) const {
    if (sink != nullptr && error_) sink->append(*error_);
    return *this;
  }
  template <class S>
    requires std::derived_from<S, ErrorFlow>
  Result failing(const std::shared_ptr<S>& sink) const {
    return failing(static_cast<ErrorFlow*>(sink.get()));
  }
  template <class S>
    requires std::derived_from<S, ErrorFlow>
  Result failing(const std::weak_ptr<S>& sink) const {
    return failing(std::shared_ptr<S>(sink.lock()));
  }

  template <class F>
    requires std::invocable<F&>
  auto map(F&& f) const {
    using U = std::invoke_result_t<F&>;
    using Out = Result<std::decay_t<U>>;
    if (error_) return Out(*error_);
    if constexpr (std::is_void_v<U>) {
      std::invoke(f);
      return Out();
    } else {
      return Out::success(std::invoke(f));
    }
  }
  template <class F>
    requires std::invocable<F&>
  auto flatMap(F&& f) const {
    using Out = std::remove_cvref_t<std::invoke_result_t<F&>>;
    static_assert(IsResult<Out>, "flatMap needs a block that returns a Result; use map");
    if (error_) return Out(*error_);
    return Out(std::invoke(f));
  }
  template <class F>
    requires std::invocable<F&>
  friend auto operator|(const Result& result, F&& f) {
    if constexpr (IsResult<std::invoke_result_t<F&>>) {
      return result.flatMap(f);
    } else {
      return result.map(f);
    }
  }
  template <class F>
    requires std::invocable<F&>
  auto flatMapTry(F&& f) const {
    using U = std::invoke_result_t<F&>;
    using Out = std::conditional_t<IsResult<U>, std::remove_cvref_t<U>, Result<std::decay_t<U>>>;
    if (error_) return Out(*error_);
    try {
      if constexpr (IsResult<U>) {
        return Out(std::invoke(f));
      } else if constexpr (std::is_void_v<U>) {
        std::invoke(f);
        return Out();
      } else {
        return Out::success(std::invoke(f));
      }
    } catch (...) {
      return Out(Error::fromCurrentException());
    }
  }

  // The condition is a bool or a predicate without arguments.
  template <class C, class Then>
  Result ifThen(C&& condition, Then&& then) const {
    if (error_ || !detail::holds(condition)) return *this;
    return std::invoke(then);
  }
  template <class C, class Then, class Else>
  auto ifThenElse(C&& condition, Then&& then, Else&& otherwise) const {
    using Out = std::remove_cvref_t<std::invoke_result_t<Then&>>;
    static_assert(IsResult<Out>, "the branches of ifThenElse return a Result");
    if (error_) return Out(*error_);
    if (detail::holds(condition)) return Out(std::invoke(then));
    return Out(std::invoke(otherwise));
  }
  template <class P, class Then, class Else>
  auto flatMapIf(P&& predicate, Then&& then, Else&& otherwise) const {
    return ifThenElse(predicate, then, otherwise);
  }
  template <class F>
    requires std::convertible_to<std::invoke_result_t<F&>, Result>
  Result ifError(std::int64_t code, F&& block) const {
    if (error_ && error_->code() == code) return std::invoke(block);
    return *this;
  }

  // `co_await result.wait()`: the result itself, without suspending.
  detail::ReadyResult<Result> wait() const { return {*this}; }

  friend bool operator==(const Result& a, const Result& b) { return a.error_ == b.error_; }

 private:
  [[noreturn]] static void throwNoError();

  std::optional<Error> error_;
};

template <class T>
Result<void> Result<T>::asVoid() const {
  if (isFailure()) return Result<void>(std::get<1>(storage_));
  return Result<void>();
}

namespace detail {
[[noreturn]] void throwResultHasNoError();
// The failure of asNonOptional: "[<context>] nil for optional value of type
// <Type>", without the brackets when the context is empty.
Error nilOptional(std::string_view type, std::string_view context);
}  // namespace detail

template <class T>
void Result<T>::throwNoError() {
  detail::throwResultHasNoError();
}

inline void Result<void>::throwNoError() { detail::throwResultHasNoError(); }

// success(value) as a Result, for wrapping a plain value where a Result is expected.
template <class T>
Result<std::decay_t<T>> result(T&& value) {
  return Result<std::decay_t<T>>::success(std::forward<T>(value));
}

// Success with the tuple of all values when every argument succeeds;
// otherwise the failure of the first failing argument, in argument order.
template <class... T>
  requires(sizeof...(T) >= 2)
Result<std::tuple<T...>> combine(const Result<T>&... results) {
  std::optional<Error> firstFailure;
  ((void)(firstFailure || !results.isFailure() || (firstFailure.emplace(results.error()), true)),
   ...);
  if (firstFailure) return *std::move(firstFailure);
  return std::tuple<T...>(results.value()...);
}

// The value of a present optional, or the failure
// "nil for optional value of type <Type>".
template <class T>
Result<T> asNonOptional(const std::optional<T>& value) {
  if (value) return *value;
  return detail::nilOptional(typeName<T>(), {});
}
template <class T>
Result<T> asNonOptional(std::optional<T>&& value) {
  if (value) return *std::move(value);
  return detail::nilOptional(typeName<T>(), {});
}
// The same, with the message "[<context>] nil for optional value of type <Type>".
template <class T>
Result<T> asNonOptional(const std::optional<T>& value, std::string_view context) {
  if (value) return *value;
  return detail::nilOptional(typeName<T>(), context);
}

// The block applied to a present value (as a Result; a block returning a
// Result is flattened); an absent value gives asNonOptional's failure.
template <class T, class F>
  requires std::invocable<F&, const T&>
auto asResult(const std::optional<T>& value, F&& block) {
  using U = std::invoke_result_t<F&, const T&>;
  using Out = std::conditional_t<IsResult<U>, std::remove_cvref_t<U>, Result<std::decay_t<U>>>;
  if (!value) return Out(asNonOptional(value).error());
  if constexpr (IsResult<U>) {
    return Out(std::invoke(block, *value));
  } else if constexpr (std::is_void_v<U>) {
    std::invoke(block, *value);
    return Out();
  } else {
    return Out::success(std::invoke(block, *value));
  }
}

// The action applied to a present value; absent stays absent.
template <class T, class F>
  requires std::invocable<F&, const T&> && (!std::is_void_v<std::invoke_result_t<F&, const T&>>)
std::optional<std::decay_t<std::invoke_result_t<F&, const T&>>> modify(
    const std::optional<T>& value, F&& action) {
  if (!value) return std::nullopt;
  return std::invoke(action, *value);
}

// The text of a NUL-terminated byte string, or the failure
// "can't validate cString" when it is not valid UTF-8 (or is null).
Result<std::string> validatingUTF8(const char* cString);
// The same for bytes that are not NUL-terminated.
Result<std::string> validatingUTF8(std::string_view bytes);
// Whether the bytes are well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool isValidUTF8(std::string_view bytes) noexcept;

// Prints "success(<value>)" or "failure(<detailedDescription>)"; handy in
// test failure messages.
template <class T>
std::ostream& operator<<(std::ostream& out, const Result<T>& result) {
  if (result.isFailure()) return out << "failure(" << result.error().detailedDescription() << ")";
  if constexpr (std::is_void_v<T>) {
    return out << "success(())";
  } else {
    return out << "success(" << debugDescribe(result.value()) << ")";
  }
}

}  // namespace mornik

MORNIK_EXPORTS_END
