#include "mornik/log/Debug.hpp"

#include <memory>
#include <mutex>
#include <utility>

#include "mornik/concurrency/DispatchQueueID.hpp"

namespace mornik {

// Frames that say nothing about the caller's own code: the C++ runtime's
// calls of callables and coroutines, glibc's start of the process and of
// threads, and the library's executor, run loops and Flow handlers.
std::vector<std::string> printDbgExcludeFuncNames{
    "_start",
    "__libc_start_main",
    "__libc_start_call_main",
    "start_thread",
    "clone3",
    "__clone",
    "execute_native_thread_routine",
    "std::thread::_State_impl",
    "std::thread::_Invoker",
    "std::__invoke_impl",
    "std::__invoke_r",
    "std::invoke",
    "std::_Function_handler",
    "std::function",
    "std::_Bind",
    "std::coroutine_handle",
    "std::__n4861::coroutine_handle",
    "__cxa_throw",
    "_Unwind_RaiseException",
    "__gxx_personality_v0",
    "mornik::detail::QueueImpl",
    "mornik::detail::GlobalQueue",
    "mornik::detail::SerialQueue",
    "mornik::detail::FrameScope",
    "mornik::detail::Executor",
    "mornik::detail::WorkItem",
    "mornik::DispatchQueue::async",
    "mornik::DispatchQueue::sync",
    "mornik::RunLoop::run",
    "mornik::RunLoop::runFor",
    "mornik::RunLoopTimer",
    "mornik::Task",
    "mornik::detail::HandlerCore",
    "mornik::Flow::Handler",
};

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
