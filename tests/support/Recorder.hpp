#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "mornik/concurrency/DispatchQueue.hpp"

#include "tests/support/QueueGate.hpp"

namespace mornik::test {

// Records delivered values in delivery order, and the queue of the last one,
// from any thread. on(source) subscribes on the recorder's own serial queue;
// block() suits any subscription (it holds the record, so a delivery after
// the test touches no freed memory). values() first waits for the
// recorder's queue.
template <class T>
class Recorder {
 public:
  explicit Recorder(DispatchQueue queue = DispatchQueue("test.recorder"))
      : queue_(std::move(queue)), state_(std::make_shared<State>()) {}

  auto block() const {
    return [state = state_](const T& value) {
      std::lock_guard<std::mutex> guard(state->lock);
      state->values.push_back(value);
      state->lastQueue = DispatchQueue::currentLabel();
    };
  }
  void add(const T& value) const { block()(value); }
  template <class S>
  void on(S& source) {
    source.onUpdate(queue_, block());
  }

  std::vector<T> values() const {
    drain(queue_);
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->values;
  }
  std::size_t seen() const {  // without waiting
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->values.size();
  }
  // Pumps the main run loop until `count` values arrived.
  bool waitForSize(std::size_t count) const {
    return waitFor([&] { return seen() >= count; });
  }
  std::string lastQueue() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->lastQueue;
  }
  const DispatchQueue& queue() const noexcept { return queue_; }

 private:
  struct State {
    std::mutex lock;
    std::vector<T> values;
    std::string lastQueue;
  };
  DispatchQueue queue_;
  std::shared_ptr<State> state_;
};

}  // namespace mornik::test
