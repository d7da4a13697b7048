#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "tests/support/RunLoopWait.hpp"

namespace mornik::test {

// What deliveries saw, in arrival order, from any thread. Handlers capture
// the std::shared_ptr, so a delivery that comes after the test never
// touches freed memory.
template <class T>
class DeliveryLog {
 public:
  static std::shared_ptr<DeliveryLog> make() { return std::make_shared<DeliveryLog>(); }

  void add(T value) {
    const std::lock_guard<std::mutex> guard(mutex_);
    values_.push_back(std::move(value));
  }
  std::vector<T> values() const {
    const std::lock_guard<std::mutex> guard(mutex_);
    return values_;
  }
  std::size_t size() const {
    const std::lock_guard<std::mutex> guard(mutex_);
    return values_.size();
  }
  // Pumps the main run loop until `count` values arrived.
  bool waitForSize(std::size_t count) const {
    return waitFor([&] { return size() >= count; });
  }

 private:
  mutable std::mutex mutex_;
  std::vector<T> values_;
};

}  // namespace mornik::test
