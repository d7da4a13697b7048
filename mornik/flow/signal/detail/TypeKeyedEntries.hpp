#pragma once

#include <memory>
#include <unordered_map>
#include <utility>
#include <variant>

#include "mornik/base/Export.hpp"
#include "mornik/base/TypeKey.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/LockingProtocol.hpp"
#include "mornik/concurrency/ThreadAnnotations.hpp"
#include "mornik/concurrency/UnfairLock.hpp"
#include "mornik/flow/signal/Signal.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::detail {

// The two tables of a type-keyed hub: per type, the entry that carries its
// values (a signal, or an object wrapping one) and the notifier signal fired
// when somebody subscribes to the type. Entries are made on first use and
// never removed.
//
// Thread safety: every member may be called from any thread; one short lock
// guards both tables and only covers a look-up and, when missing, the
// creation of an empty entry (no user code, no delivery).
class TypeKeyedEntries {
 public:
  using Notifier = Flow::Signal<std::monostate>;

  // The entry for `key`, made with `make()` when there is none. The caller
  // keeps every entry under a key of the same type E.
  template <class E, class Make>
  std::shared_ptr<E> entry(const Flow::TypeKey& key, Make&& make) MORNIK_EXCLUDES(lock_) {
    ScopedLock<UnfairLock> guard(lock_);
    std::shared_ptr<void>& slot = entries_[key];
    if (!slot) slot = make();
    return std::static_pointer_cast<E>(slot);
  }

  // The notifier for `key`, made (empty, on `queue`) when there is none.
  std::shared_ptr<Notifier> notifier(const Flow::TypeKey& key, const DispatchQueue& queue)
      MORNIK_EXCLUDES(lock_) {
    ScopedLock<UnfairLock> guard(lock_);
    std::shared_ptr<Notifier>& slot = notifiers_[key];
    if (!slot) slot = Notifier::make(queue);
    return slot;
  }

  // The notifier for `key` if one was made, else null.
  std::shared_ptr<Notifier> existingNotifier(const Flow::TypeKey& key) const
      MORNIK_EXCLUDES(lock_) {
    ScopedLock<UnfairLock> guard(lock_);
    const auto found = notifiers_.find(key);
    return found == notifiers_.end() ? nullptr : found->second;
  }

 private:
  mutable UnfairLock lock_;
  std::unordered_map<Flow::TypeKey, std::shared_ptr<void>> entries_ MORNIK_GUARDED_BY(lock_);
  std::unordered_map<Flow::TypeKey, std::shared_ptr<Notifier>> notifiers_ MORNIK_GUARDED_BY(lock_);
};

}  // namespace mornik::detail

MORNIK_EXPORTS_END
