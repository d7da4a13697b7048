#include "mornik/log/Debug.hpp"

#include <memory>
#include <mutex>
#include <utility>

#include "mornik/concurrency/DispatchQueueID.hpp"

namespace mornik {

std::vector<std::string> printDbgExcludeFuncNames;

namespace detail {
std::atomic<bool> debugSinkInstalled{false};
}  // namespace detail

namespace {

// Copied under the mutex, called outside it, as the output sink is.
std::mutex debugSinkMutex;
std::shared_ptr<const OutputSink> debugSink;

}  // namespace

void setDebugSink(OutputSink sink) {
  std::shared_ptr<const OutputSink> next;
  if (sink) next = std::make_shared<const OutputSink>(std::move(sink));
  const std::lock_guard lock(debugSinkMutex);
  detail::debugSinkInstalled.store(next != nullptr, std::memory_order_relaxed);
  debugSink.swap(next);
}

void detail::emitDebug(std::string text, bool displayDetails) {
  std::shared_ptr<const OutputSink> sink;
  {
    const std::lock_guard lock(debugSinkMutex);
    sink = debugSink;
  }
  if (!sink) return;
  if (displayDetails) text = Thread::dbgName() + " " + text;
  (*sink)(text);
}

}  // namespace mornik
