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

// Records the values a source delivers, in delivery order, and on which
// queue the last one ran. Subscribe with on() (a serial queue of the
// recorder's own) or hand block() to any subscription; values() first waits
// for everything already submitted to the recorder's queue.
template <class T>
class Recorder {
 public:
  explicit Recorder(DispatchQueue queue = DispatchQueue("test.recorder"))
      : queue_(std::move(queue)), state_(std::make_shared<State>()) {}

  // A block that records each value it is called with.
  auto block() const {
    return [state = state_](const T& value) {
      std::lock_guard<std::mutex> guard(state->lock);
      state->values.push_back(value);
      state->lastQueue = DispatchQueue::currentLabel();
    };
  }

  // Subscribes to `source` on this recorder's queue.
  template <class S>
  Recorder& on(S& source) {
    source.onUpdate(queue_, block());
    return *this;
  }

  std::vector<T> values() const {
    drain(queue_);
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->values;
  }
  // How many values were recorded so far, without waiting.
  std::size_t seen() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->values.size();
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
