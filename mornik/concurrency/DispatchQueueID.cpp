#include "mornik/concurrency/DispatchQueueID.hpp"

#include <atomic>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <unordered_map>

#include <pthread.h>

#include "mornik/concurrency/LockedVar.hpp"
#include "mornik/concurrency/UnfairLock.hpp"
#include "mornik/concurrency/detail/Executor.hpp"

namespace mornik {

namespace {

LockedVar<std::unordered_map<std::string, DispatchQueue>>& registry() {
  static auto* const queues = new LockedVar<std::unordered_map<std::string, DispatchQueue>>();
  return *queues;
}

const DispatchSpecificKey<bool>& mainQueueKey() {
  static const auto* const key = [] {
    auto* created = new DispatchSpecificKey<bool>();
    DispatchQueue::main().setSpecific(*created, true);
    return created;
  }();
  return *key;
}

}  // namespace

DispatchQueue DispatchQueueID::queue() const {
  return registry().item(
      id, [](const std::string& label) { return DispatchQueue(label, QoS::userInitiated); });
}

bool isMainQueue() { return DispatchQueue::getSpecific(mainQueueKey()).has_value(); }

bool isCurrent(const DispatchQueue& queue) {
  const DispatchSpecificKey<bool> key;
  queue.setSpecific(key, true);
  const bool found = DispatchQueue::getSpecific(key).has_value();
  queue.setSpecific(key, std::nullopt);
  return found;
}

std::function<void()> debounce(const DispatchQueue& queue, double delay,
                               std::function<void()> action) {
  if (!std::isfinite(delay)) throw std::invalid_argument("debounce: the delay is not finite");
  const std::int64_t delayNs = detail::delayToNs(delay);
  struct State {
    std::atomic<std::int64_t> lastFireTime;
    std::function<void()> action;
  };
  auto state = std::make_shared<State>();
  state->lastFireTime = detail::monotonicNowNs();
  state->action = std::move(action);
  return [queue, delayNs, state] {
    const std::int64_t due = state->lastFireTime.load(std::memory_order_acquire) + delayNs;
    const double wait = static_cast<double>(due - detail::monotonicNowNs()) / 1e9;
    queue.asyncAfter(wait, [delayNs, state] {
      const std::int64_t now = detail::monotonicNowNs();
      if (now >= state->lastFireTime.load(std::memory_order_acquire) + delayNs) {
        state->lastFireTime.store(now, std::memory_order_release);
        state->action();
      }
    });
  };
}

std::string Thread::dbgName() {
  if (detail::currentQueue() != nullptr) return DispatchQueue::currentLabel();
  char name[32] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  return "<Thread " + std::to_string(detail::currentThreadTag()) + " \"" + name + "\">";
}

}  // namespace mornik
