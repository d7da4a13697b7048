#pragma once

#include <functional>
#include <utility>

#include "mornik/concurrency/detail/TestHooks.hpp"

namespace mornik::test {

// Runs `body(subject)` whenever the executor reaches `point` (any thread),
// for the lifetime of this object; one at a time.
class HookAt {
 public:
  HookAt(detail::TestPoint point, std::function<void(const void*)> body) {
    slot() = {point, std::move(body)};
    detail::gTestHook.store(&call);
  }
  ~HookAt() {
    detail::gTestHook.store(nullptr);
    slot() = {};
  }
  HookAt(const HookAt&) = delete;
  HookAt& operator=(const HookAt&) = delete;

 private:
  struct Slot {
    detail::TestPoint point{};
    std::function<void(const void*)> body;
  };
  static Slot& slot() {
    static Slot installed;
    return installed;
  }
  static void call(detail::TestPoint point, const void* subject) {
    if (point == slot().point) slot().body(subject);
  }
};

}  // namespace mornik::test
