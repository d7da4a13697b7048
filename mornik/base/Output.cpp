#include "mornik/base/Output.hpp"

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace mornik {

namespace {

// The installed sink, null for standard output. A printing thread copies the
// pointer under the mutex and calls the sink outside it, so a slow sink never
// holds up another thread's replacement.
std::mutex sinkMutex;
std::shared_ptr<const OutputSink> installedSink;

void printToStandardOutput(std::string_view line) {
  std::string text(line);
  text += '\n';
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

}  // namespace

void setOutputSink(OutputSink sink) {
  std::shared_ptr<const OutputSink> next;
  if (sink) next = std::make_shared<const OutputSink>(std::move(sink));
  const std::lock_guard lock(sinkMutex);
  installedSink.swap(next);  // the old sink is released outside the lock
}

void printLine(std::string_view line) {
  std::shared_ptr<const OutputSink> sink;
  {
    const std::lock_guard lock(sinkMutex);
    sink = installedSink;
  }
  if (sink) {
    (*sink)(line);
  } else {
    printToStandardOutput(line);
  }
}

}  // namespace mornik
