#include "mornik/concurrency/DispatchQueue.hpp"

#include <atomic>

namespace mornik {

namespace detail {

std::uint64_t newSpecificKeyId() noexcept {
  static std::atomic<std::uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace detail

DispatchQueue::DispatchQueue(std::string label, QoS qos)
    : impl_(std::make_shared<detail::SerialQueue>(detail::QueueImpl::Kind::serial, std::move(label),
                                                  qos)) {}

std::optional<DispatchQueue> DispatchQueue::current() {
  detail::QueueImpl* queue = detail::currentQueue();
  if (queue == nullptr) return std::nullopt;
  detail::QueueRef ref = queue->weak_from_this().lock();
  if (!ref) return std::nullopt;
  return DispatchQueue(std::move(ref));
}

bool DispatchQueue::isWorkWaiting() noexcept { return detail::poolHasQueuedWork(); }

std::string DispatchQueue::currentLabel() {
  detail::QueueImpl* queue = detail::currentQueue();
  return queue != nullptr ? queue->label() : std::string();
}

}  // namespace mornik
