#pragma once

// Points between two steps of the executor where a test may run code of its
// own, to force an interleaving that is otherwise a matter of luck (a signal
// landing between a timed-out wait and its withdrawal, a leave() between a
// waiter's last look and its sleep). Internal; the hook is null in
// production, which pays one load per point.

#include <atomic>
#include <cstdint>

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::detail {

enum class TestPoint : std::uint8_t {
  // A serial queue (the subject) is handed to the pool to be drained.
  serialScheduled,
  // A timed DispatchSemaphore::wait ran out of time and is about to
  // withdraw from the count.
  semaphoreTimedOut,
  // DispatchGroup::wait found the count above zero and is about to sleep.
  groupWaitSleeps,
};

using TestHook = void (*)(TestPoint point, const void* subject);

extern std::atomic<TestHook> gTestHook;

inline void testPoint(TestPoint point, const void* subject) noexcept {
  const TestHook hook = gTestHook.load(std::memory_order_acquire);
  if (hook != nullptr) [[unlikely]] {
    hook(point, subject);
  }
}

}  // namespace mornik::detail

MORNIK_EXPORTS_END
