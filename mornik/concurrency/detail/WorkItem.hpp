#pragma once

#include <atomic>
#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/detail/ItemAllocator.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::detail {

// One unit of queued work: an intrusive list node carrying a type-erased
// callable in the same allocation (one allocation per submitted item).
//
// `invoke` runs the callable; `release` destroys the callable and frees the
// node. They are separate because a serial queue must read `next` after the
// work ran and before the node is freed.
struct WorkItem {
  std::atomic<WorkItem*> next{nullptr};
  void (*invoke)(WorkItem*) = nullptr;
  void (*release)(WorkItem*) noexcept = nullptr;
};

template <class F>
struct WorkItemOf final : WorkItem {
  explicit WorkItemOf(F&& f) : fn(std::move(f)) {
    invoke = [](WorkItem* item) { static_cast<WorkItemOf*>(item)->fn(); };
    release = [](WorkItem* item) noexcept { delete static_cast<WorkItemOf*>(item); };
  }

  // Items recycle their memory through the work-item allocator (unless they
  // need more than the standard alignment).
  static void* operator new(std::size_t size) {
    if constexpr (alignof(WorkItemOf) > alignof(std::max_align_t)) {
      return ::operator new(size, std::align_val_t(alignof(WorkItemOf)));
    } else {
      return allocateWorkItem(size);
    }
  }
  static void operator delete(void* block, std::size_t size) noexcept {
    if constexpr (alignof(WorkItemOf) > alignof(std::max_align_t)) {
      ::operator delete(block, std::align_val_t(alignof(WorkItemOf)));
    } else {
      freeWorkItem(block, size);
    }
  }

  F fn;
};

// A heap-allocated work item running `f`.
template <class F>
WorkItem* makeWorkItem(F&& f) {
  using Fn = std::decay_t<F>;
  static_assert(std::is_invocable_v<Fn&>, "work items take no arguments");
  return new WorkItemOf<Fn>(Fn(std::forward<F>(f)));
}

}  // namespace mornik::detail

namespace mornik::detail {

// A work item on the caller's stack that runs `f` by reference and frees
// nothing: for synchronous submission, where the caller outlives the item.
template <class F>
struct StackWorkItem final : WorkItem {
  explicit StackWorkItem(F& f) : fn(f) {
    invoke = [](WorkItem* item) { static_cast<StackWorkItem*>(item)->fn(); };
    release = [](WorkItem*) noexcept {};
  }
  F& fn;
};

}  // namespace mornik::detail

MORNIK_EXPORTS_END
