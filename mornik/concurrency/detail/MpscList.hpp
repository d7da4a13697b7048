#pragma once

#include <atomic>

#include "mornik/concurrency/detail/Futex.hpp"
#include "mornik/concurrency/detail/WorkItem.hpp"

namespace mornik::detail {

// An intrusive FIFO of work items: any number of producers, one consumer at a
// time. A push is one atomic exchange.
//
// The list is empty exactly when `tail_` is null, and push() tells the
// producer whether it found the list empty: that producer, and only that
// one, is responsible for getting the list consumed (scheduling a serial
// queue, waking a run loop). The consumer keeps the item it is working on at
// the head until finish(), so the list stays non-empty — and no second
// consumer gets scheduled — while that item runs.
class MpscList {
 public:
  // Appends `item`. Returns true when the list was empty before.
  bool push(WorkItem* item) noexcept {
    item->next.store(nullptr, std::memory_order_relaxed);
    WorkItem* previous = tail_.exchange(item, std::memory_order_acq_rel);
    if (previous == nullptr) {
      head_.store(item, std::memory_order_release);
      return true;
    }
    previous->next.store(item, std::memory_order_release);
    return false;
  }

  // Whether the list holds an item (a snapshot).
  bool hasItems() const noexcept { return tail_.load(std::memory_order_acquire) != nullptr; }

  // Consumer: the oldest item, left in the list; null when the list is empty.
  // A producer that made the list non-empty may still be publishing the head:
  // wait the few instructions that takes.
  WorkItem* front() noexcept {
    if (tail_.load(std::memory_order_acquire) == nullptr) return nullptr;
    WorkItem* head = head_.load(std::memory_order_acquire);
    while (head == nullptr) {
      cpuRelax();
      head = head_.load(std::memory_order_acquire);
    }
    return head;
  }

  // Consumer: removes `head` (the item front() returned) and returns the next
  // item, or null when the list became empty. After a null return, the next
  // push() reports an empty list.
  WorkItem* popFront(WorkItem* head) noexcept {
    WorkItem* next = head->next.load(std::memory_order_acquire);
    if (next == nullptr) {
      head_.store(nullptr, std::memory_order_relaxed);
      WorkItem* expected = head;
      if (tail_.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel,
                                        std::memory_order_acquire)) {
        return nullptr;
      }
      // A producer swapped the tail and is about to link its item.
      while ((next = head->next.load(std::memory_order_acquire)) == nullptr) cpuRelax();
    }
    head_.store(next, std::memory_order_relaxed);
    return next;
  }

 private:
  alignas(64) std::atomic<WorkItem*> tail_{nullptr};
  alignas(64) std::atomic<WorkItem*> head_{nullptr};
};

}  // namespace mornik::detail
