#pragma once

#include <memory>
#include <optional>
#include <string>

#include "mornik/base/Error.hpp"
#include "mornik/base/Export.hpp"
#include "mornik/flow/observe/ObservableObject.hpp"
#include "mornik/flow/observe/Published.hpp"
#include "mornik/flow/pool/ErrorPool.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// What a user interface shows of an error pool: its most recent error, as
// an observable property, and a way to dismiss it.
//
//   auto model = mornik::ErrorsViewModel::make(pool->errorPool());
//   mornik::Subscription s = model->objectWillChange().subscribe([&] { redraw(); });
//   model->recentError.get();     // the error shown, or none
//   model->shortDescription();    // its first 100 characters
//   model->dismiss();             // the pool's recent error is cleared too
//
// At creation the model shows the pool's buffered error, if any. From then
// on every error appended to the pool is written to recentError on the main
// queue, announced through objectWillChange(); the error the model started
// with is not delivered a second time (so a dismiss() right after creation
// stays dismissed).
//
// Ownership: the model keeps its error pool alive; the pool's signal holds
// the model weakly, so a released model stops following the pool.
// Thread safety: recentError changes on the main queue (and wherever the
// application writes it); call dismiss() on the main thread, as a user
// interface does.
class ErrorsViewModel : public ObservableObject {
  struct Passkey {
    explicit Passkey() = default;
  };

 public:
  static std::shared_ptr<ErrorsViewModel> make(std::shared_ptr<ErrorPool> pool);

  ErrorsViewModel(Passkey /*unused*/, std::shared_ptr<ErrorPool> pool);

  // The observed error pool.
  const std::shared_ptr<ErrorPool>& pool() const noexcept { return pool_; }

  // The error shown, or none.
  Published<std::optional<Error>> recentError{*this, std::nullopt};

  // Empty without an error; else the first 100 characters of the error's
  // localized description (all of it when shorter).
  std::string shortDescription() const;

  // Empties the pool's recent error (clearRecent()), then shows none.
  void dismiss();

  // The length of shortDescription(), in characters.
  static constexpr std::ptrdiff_t kShortLength = 100;

 private:
  const std::shared_ptr<ErrorPool> pool_;
  // The error shown at creation, until the first delivery has been looked
  // at (main queue only): the subscription's replay of the pool's buffer
  // brings it again, and it is skipped then.
  std::optional<Error> startedWith_;
};

}  // namespace mornik

MORNIK_EXPORTS_END
