#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
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
// One entry point, `act`, does what the queue asks: run the callable;
// release it (destroy the callable and free the node; separate from running
// because a serial queue must read `next` after the work ran and before the
// node is freed); or prefetch what running it will touch. One pointer for
// the three keeps the header at two words, which lets a delivery with a
// 32-byte value fit the 64-byte block class.
struct WorkItem {
  enum class Act : std::uint8_t { run, release, prefetch };

  std::atomic<WorkItem*> next{nullptr};
  // Only `run` may throw.
  void (*act)(WorkItem*, Act) = nullptr;

  void run() { act(this, Act::run); }
  void release() noexcept { act(this, Act::release); }
  void prefetch() noexcept { act(this, Act::prefetch); }
};

// Work that can name what it will touch first: prefetch() asks the cache for
// it, and is called a few items before the work runs when the work waits in
// a serial queue behind others. It must not read memory the work does not
// own while it waits (it may issue prefetches to any address).
template <class F>
concept PrefetchingWork = requires(const F& f) {
  { f.prefetch() } noexcept;
};

template <class F>
struct WorkItemOf final : WorkItem {
  explicit WorkItemOf(F&& f) : fn(std::move(f)) {
    act = [](WorkItem* item, Act what) {
      auto* self = static_cast<WorkItemOf*>(item);
      switch (what) {
        case Act::run:
          self->fn();
          break;
        case Act::release:
          delete self;
          break;
        case Act::prefetch:
          if constexpr (PrefetchingWork<F>) self->fn.prefetch();
          break;
      }
    };
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
    act = [](WorkItem* item, Act what) {
      if (what == Act::run) static_cast<StackWorkItem*>(item)->fn();
    };
  }
  F& fn;
};

}  // namespace mornik::detail

MORNIK_EXPORTS_END
