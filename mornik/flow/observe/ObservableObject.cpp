#include "mornik/flow/observe/ObservableObject.hpp"

#include <algorithm>

#include "mornik/concurrency/LockingProtocol.hpp"

namespace mornik {

void ChangePublisher::send() const {
  std::vector<std::shared_ptr<Flow::Handler<void>>> live;
  {
    detail::ScopedLock<UnfairLock> guard(lock_);
    live.reserve(subscribers_.size());
    for (const auto& weak : subscribers_) {
      if (auto handler = weak.lock()) live.push_back(std::move(handler));
    }
  }
  // Submitted outside the lock; a handler released meanwhile is destroyed
  // here, with no lock held, once `live` goes.
  for (const auto& handler : live) handler->call();
}

void ChangePublisher::add(const std::shared_ptr<Flow::Handler<void>>& handler) {
  detail::ScopedLock<UnfairLock> guard(lock_);
  // Ended subscriptions leave expired entries; drop them as the list grows.
  std::erase_if(subscribers_, [](const auto& weak) { return weak.expired(); });
  subscribers_.push_back(handler);
}

std::size_t ChangePublisher::subscriberCount() const {
  detail::ScopedLock<UnfairLock> guard(lock_);
  return static_cast<std::size_t>(std::count_if(subscribers_.begin(), subscribers_.end(),
                                                [](const auto& weak) { return !weak.expired(); }));
}

}  // namespace mornik
