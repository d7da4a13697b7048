#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <vector>

#include "mornik/base/Error.hpp"
#include "mornik/base/ErrorFlow.hpp"
#include "mornik/base/Export.hpp"
#include "mornik/concurrency/LockedVar.hpp"
#include "mornik/flow/signal/Signal.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// The error sink of a pool: keeps every error it receives, in arrival
// order, and publishes the most recent one on a signal that a user interface
// (ErrorsViewModel) or another sink can follow.
//
//   auto errors = mornik::ErrorPool::make();
//   errors->recentError()->onUpdate([](const mornik::Error& e) { showBanner(e); });
//   errors->append(mornik::WTF("disk full", 28));   // from any thread
//   errors->forwardErrors(appWideErrors);           // from now on (and the current one)
//
// recentError() is a signal on the main queue: its buffer holds the last
// appended error until clearRecent() empties it, and its handlers (those of
// forwardErrors() included, unless they name another queue) run on the main
// queue, in append order for appends made from one thread.
//
// Forwarding holds the target weakly; a target that is gone is skipped.
// Forwarding a sink to itself, directly or around a loop, appends for ever.
//
// Thread safety: every member may be called from any thread. append() takes
// the list's lock for the append only and publishes outside it.
// Subclasses may override clearRecent(), append() and forwardErrors(); they
// construct through a Passkey, so that every error pool lives in a
// std::shared_ptr.
class ErrorPool : public ErrorFlow {
 protected:
  struct Passkey {
    explicit Passkey() = default;
  };

 public:
  static std::shared_ptr<ErrorPool> make() { return std::make_shared<ErrorPool>(Passkey()); }

  explicit ErrorPool(Passkey /*unused*/);
  ~ErrorPool() override = default;
  ErrorPool(const ErrorPool&) = delete;
  ErrorPool& operator=(const ErrorPool&) = delete;

  // Empties the buffer of recentError(); handlers are not told and the list
  // of errors is unchanged.
  virtual void clearRecent();

  // Appends `error` to the list, then publishes it on recentError().
  void append(const Error& error) override;

  // Hands every error published on recentError() from now on to
  // `target->append()` on the main queue, while the target exists (it is
  // held weakly). The error held as the most recent one, if any, is handed
  // on at once (asynchronously).
  void forwardErrors(const std::shared_ptr<ErrorFlow>& target) override;

  // The most recent error, buffered; its handlers run on the main queue
  // unless they name another.
  const std::shared_ptr<Flow::Signal<Error>>& recentError() const noexcept { return recentError_; }

  // Every error received, in arrival order (a copy).
  std::vector<Error> errors() const;
  // How many errors were received.
  std::size_t errorCount() const;

 private:
  // A deque: appends never move the errors already held, so the lock is
  // never held for a reallocation of a long list.
  LockedVar<std::deque<Error>> errors_;
  const std::shared_ptr<Flow::Signal<Error>> recentError_;
};

}  // namespace mornik

MORNIK_EXPORTS_END
