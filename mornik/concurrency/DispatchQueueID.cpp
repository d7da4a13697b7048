#include "mornik/concurrency/DispatchQueueID.hpp"

#include <atomic>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <string_view>
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

namespace {

// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or
// values beyond U+10FFFF).
bool isValidUtf8(std::string_view text) noexcept {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const int extra = lead < 0x80   ? 0
                      : lead < 0xC2 ? -1
                      : lead < 0xE0 ? 1
                      : lead < 0xF0 ? 2
                      : lead < 0xF5 ? 3
                                    : -1;
    if (extra < 0 || (extra > 0 && i + static_cast<std::size_t>(extra) >= text.size())) {
      return false;
    }
    std::uint32_t value = extra == 0 ? lead : lead & (0x3FU >> extra);
    for (int k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
      if ((next & 0xC0U) != 0x80U) return false;
      value = value << 6 | (next & 0x3FU);
    }
    static constexpr std::uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
    if (value < kSmallest[extra] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
      return false;
    }
    i += static_cast<std::size_t>(extra) + 1;
  }
  return true;
}

}  // namespace

std::string Thread::dbgName() {
  if (detail::currentQueue() != nullptr) {
    std::string label = DispatchQueue::currentLabel();
    if (isValidUtf8(label)) return label;
  }
  char name[32] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  return "<Thread " + std::to_string(detail::currentThreadTag()) + " \"" + name + "\">";
}

}  // namespace mornik
