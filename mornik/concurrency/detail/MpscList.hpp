#pragma once

#include <atomic>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/detail/Futex.hpp"
#include "mornik/concurrency/detail/WorkItem.hpp"

MORNIK_EXPORTS_BEGIN

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

  // Whether the list holds an item (a snapshot, exact with respect to push:
  // ordered with it for the sleep/wake handshakes).
  bool hasItems() const noexcept { return tail_.load(std::memory_order_seq_cst) != nullptr; }

  // A cheap hint for polling consumers: reads only the consumer side, so it
  // does not pull the line producers write on every push. It may miss an
  // item that is being pushed to an empty list right now.
  bool mayHaveItems() const noexcept { return head_.load(std::memory_order_relaxed) != nullptr; }

  // Consumer: the oldest item, left in the list; null when the list is empty.
  // A producer that made the list non-empty may still be publishing the head:
  // wait the few instructions that takes.
  WorkItem* front() noexcept {
    WorkItem* head = head_.load(std::memory_order_acquire);
    if (head != nullptr) return head;
    if (tail_.load(std::memory_order_acquire) == nullptr) return nullptr;
    head = head_.load(std::memory_order_acquire);
    while (head == nullptr) {
      cpuRelax();
      head = head_.load(std::memory_order_acquire);
    }
    return head;
  }

  // Consumer: detaches up to `max` items from the front into `out` and returns
  // how many. Takes `max` only when more than `max` are queued, otherwise
  // one: a short list stays available to other consumers, so that a few
  // long items still run in parallel.
  int popBatch(WorkItem** out, int max) noexcept {
    WorkItem* head = front();
    if (head == nullptr) return 0;
    int seen = 1;
    for (WorkItem* probe = head; seen <= max; ++seen) {
      probe = probe->next.load(std::memory_order_acquire);
      if (probe == nullptr) break;
    }
    const int take = seen > max ? max : 1;
    for (int i = 0; i < take; ++i) {
      out[i] = head;
      head = popFront(head);
    }
    return take;
  }

  // Consumer: removes `head` (the item front() returned) and returns the next
  // item, or null when the list became empty. After a null return, the next
  // push() reports an empty list. With `patience`, a consumer that has
  // caught up with a producer first waits up to that many pauses for the
  // next push: emptying the list writes the line every push writes, and
  // makes that push reschedule the consumer.
  WorkItem* popFront(WorkItem* head, int patience = 0) noexcept {
    WorkItem* next = head->next.load(std::memory_order_acquire);
    for (int wait = 0; next == nullptr && wait < patience; ++wait) {
      cpuRelax();
      next = head->next.load(std::memory_order_acquire);
    }
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

MORNIK_EXPORTS_END
