#include "mornik/flow/pool/ErrorPool.hpp"

namespace mornik {

ErrorPool::ErrorPool(Passkey /*unused*/)
    : recentError_(Flow::Signal<Error>::make(DispatchQueue::main())) {}

void ErrorPool::clearRecent() { recentError_->clearBuffer(); }

void ErrorPool::append(const Error& error) {
  errors_.access([&](std::deque<Error>& errors) { errors.push_back(error); });
  recentError_->update(error);
}

void ErrorPool::forwardErrors(const std::shared_ptr<ErrorFlow>& target) {
  recentError_->onUpdate(target, [](ErrorFlow& sink, const Error& error) { sink.append(error); });
}

std::vector<Error> ErrorPool::errors() const {
  return errors_.read([](const std::deque<Error>& errors) {
    return std::vector<Error>(errors.begin(), errors.end());
  });
}

std::size_t ErrorPool::errorCount() const {
  return errors_.read([](const std::deque<Error>& errors) { return errors.size(); });
}

}  // namespace mornik
