#include "mornik/flow/pool/Pool.hpp"

#include <optional>
#include <utility>

namespace mornik::Flow {

Pool::Pool(Passkey /*unused*/, DispatchQueue queue)
    : errorPool_(ErrorPool::make()),
      queue_(std::move(queue)),
      signals_(SignalsService::make(DispatchQueue::global())) {}

Pool::~Pool() = default;

std::shared_ptr<SignalsService> Pool::signals() const {
  mornik::detail::ScopedLock<UnfairLock> guard(signalsLock_);
  return signals_;
}

void Pool::setSignals(std::shared_ptr<SignalsService> service) {
  {
    mornik::detail::ScopedLock<UnfairLock> guard(signalsLock_);
    signals_.swap(service);
  }
  // `service` now holds the previous one, released here, outside the lock.
}

void Pool::modifySignals(const std::function<void(std::shared_ptr<SignalsService>&)>& change) {
  std::shared_ptr<SignalsService> previous;
  {
    mornik::detail::ScopedLock<UnfairLock> guard(signalsLock_);
    previous = signals_;
    change(signals_);
  }
}

void Pool::retain(std::shared_ptr<const void> object) {
  mornik::detail::ScopedLock<UnfairLock> guard(containerLock_);
  container_.push_back(std::move(object));
}

void Pool::retainFuture(const FutureID& id, FutureRef ref) {
  {
    mornik::detail::ScopedLock<UnfairLock> guard(futuresLock_);
    std::swap(futures_[id], ref);
  }
  // `ref` now holds the entry it replaced, if any: released outside the
  // lock, since releasing a future may run destructors that call back here.
}

void Pool::discard(const FutureID& id) {
  FutureRef released;
  std::optional<CancellationToken> token;
  {
    mornik::detail::ScopedLock<UnfairLock> guard(futuresLock_);
    const auto found = futures_.find(id);
    if (found == futures_.end()) return;
    released = std::move(found->second);
    futures_.erase(found);
    if (!tokens_.empty()) {
      if (const auto held = tokens_.find(id); held != tokens_.end()) {
        token.emplace(std::move(held->second));
        tokens_.erase(held);
      }
    }
  }
  // Outside the lock, and while `released` still holds the future: the
  // token's action completes it, which submits its handlers.
  if (token) token->cancel();
}

void Pool::retainToken(const FutureID& id, CancellationToken token) {
  mornik::detail::ScopedLock<UnfairLock> guard(futuresLock_);
  tokens_.insert_or_assign(id, std::move(token));
}

bool Pool::holds(const FutureID& id) const {
  mornik::detail::ScopedLock<UnfairLock> guard(futuresLock_);
  return futures_.contains(id);
}

std::size_t Pool::futureCount() const {
  mornik::detail::ScopedLock<UnfairLock> guard(futuresLock_);
  return futures_.size();
}

void Pool::append(const Error& error) { errorPool_->append(error); }

void Pool::forwardErrors(const std::shared_ptr<ErrorFlow>& target) {
  errorPool_->forwardErrors(target);
}

bool Pool::hasRecentError() const { return errorPool_->recentError()->currentValue().has_value(); }

std::shared_ptr<Future<void>> Pool::startFuture(std::optional<DispatchQueue>& queue) {
  return retain(Future<void>::make(queueOr(queue), [] { return Result<void>(); }));
}

}  // namespace mornik::Flow
