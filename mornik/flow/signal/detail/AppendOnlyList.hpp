#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::detail {

// A list that only grows and whose elements never move, so that a prefix of
// it can be read without the owner's lock while other threads append.
//
// The owner guards append() and prefix() with its own lock. A Prefix taken
// under that lock names the elements present at that moment; it may be
// walked after the lock is released, concurrently with later appends, for as
// long as the list lives: appends only write past the prefix (elements live
// in segments of doubling size that are never reallocated).
//
// Thread safety: as described; the list itself has no lock.
template <class E>
class AppendOnlyList {
  struct Segment {
    explicit Segment(std::size_t size) : capacity(size) { items.reserve(size); }
    const std::size_t capacity;
    std::vector<E> items;  // never grows beyond capacity: never reallocates
    std::unique_ptr<Segment> next;
  };

 public:
  static constexpr std::size_t kFirstCapacity = 4;

  // The elements present when it was taken, in append order.
  class Prefix {
   public:
    Prefix() = default;
    std::size_t size() const noexcept { return count_; }

    template <class F>
    void forEach(F&& visit) const {
      std::size_t left = count_;
      if (left == 0) return;
      for (const Segment* segment = first_;; segment = segment->next.get()) {
        // Only links made before this prefix was taken are followed: the
        // loop ends in the segment that holds the last element.
        const std::size_t n = left < segment->capacity ? left : segment->capacity;
        const E* items = segment->items.data();
        for (std::size_t i = 0; i < n; ++i) visit(items[i]);
        left -= n;
        if (left == 0) return;
      }
    }

   private:
    friend AppendOnlyList;
    Prefix(const Segment* first, std::size_t count) noexcept : first_(first), count_(count) {}

    const Segment* first_ = nullptr;
    std::size_t count_ = 0;
  };

  AppendOnlyList() = default;
  AppendOnlyList(const AppendOnlyList&) = delete;
  AppendOnlyList& operator=(const AppendOnlyList&) = delete;
  ~AppendOnlyList() {
    // Unlink iteratively: no deep recursion of unique_ptr destructors.
    std::unique_ptr<Segment> segment = std::move(first_);
    while (segment) segment = std::move(segment->next);
  }

  // A segment made ahead, outside the owner's lock, for an append that
  // finds the list full: append() never allocates under the lock.
  using Spare = std::unique_ptr<Segment>;

  // 0 when append(element, spare) can proceed without allocating, else the
  // capacity of the spare segment it needs (see makeSpare()).
  std::size_t roomNeeded(const Spare& spare) const noexcept {
    if (!isFull() || spare) return 0;
    return last_ == nullptr ? kFirstCapacity : last_->capacity * 2;
  }
  static Spare makeSpare(std::size_t capacity) { return std::make_unique<Segment>(capacity); }

  // Requires roomNeeded(spare) == 0; takes the spare only when the list is full.
  void append(E element, Spare& spare) noexcept {
    if (isFull()) link(std::move(spare));
    last_->items.push_back(std::move(element));  // within capacity: no allocation
    ++count_;
  }

  std::size_t size() const noexcept { return count_; }
  Prefix prefix() const noexcept { return Prefix(first_.get(), count_); }

 private:
  bool isFull() const noexcept {
    return last_ == nullptr || last_->items.size() == last_->capacity;
  }

  void link(std::unique_ptr<Segment> segment) noexcept {
    Segment* added = segment.get();
    if (last_ == nullptr) {
      first_ = std::move(segment);
    } else {
      last_->next = std::move(segment);
    }
    last_ = added;
  }

  std::unique_ptr<Segment> first_;
  Segment* last_ = nullptr;
  std::size_t count_ = 0;
};

}  // namespace mornik::detail

MORNIK_EXPORTS_END
