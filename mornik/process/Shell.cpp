#include "mornik/process/Shell.hpp"

#include <array>
#include <utility>

#include "mornik/base/Output.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/DispatchQueueID.hpp"
#include "mornik/concurrency/QoS.hpp"
#include "mornik/flow/signal/Throttle.hpp"
#include "mornik/process/detail/Chunks.hpp"

namespace mornik::Flow {

namespace {

// The fold: the previous chunks with the new one appended, the last two kept.
Shell::Chunks keepLastTwo(Shell::Chunks chunks, const ShellOutput& chunk) {
  chunks.push_back(chunk);
  if (chunks.size() > 2) chunks.erase(chunks.begin(), chunks.end() - 2);
  return chunks;
}

}  // namespace

Shell::Pointer Shell::make(std::string cmd, URL workDir) {
  auto shell = std::make_shared<Shell>(Passkey(), std::move(cmd), std::move(workDir));
  const auto main = DispatchQueue::main();
  auto thinned = shell->reduce_->accumulator().signal()->throttle(3.0, AfterThrottling::sendLast);
  // Assignment first, then the notification: on the main queue they run in
  // registration order.
  thinned->assign(shell, &Shell::tail, main);
  thinned->onUpdate(shell, main,
                    [](Shell& self, const Chunks& /*unused*/) { self.objectWillChange().send(); });
  for (const auto& eof : {shell->stdEOF_, shell->errEOF_}) {
    eof->onSuccess(shell, main, [](Shell& self) { self.objectWillChange().send(); });
  }
  return shell;
}

Shell::Shell(Passkey /*unused*/, std::string cmd, URL workDir)
    : tail(Chunks{}, DispatchQueue::global(QoS::userInteractive)),
      cmd_(std::move(cmd)),
      workDir_(std::move(workDir)),
      // The throttle's intake runs on the accumulator's queue: a serial one
      // of user-interactive class, so that it sees the accumulators in the
      // order they were folded and a window ends holding the latest (two
      // deliveries on the concurrent queue could finish in either order).
      reduce_(Reduce<Chunks, ShellOutput>::make(Chunks{}, keepLastTwo,
                                                DispatchQueue("Flow.Shell", QoS::userInteractive))),
      stdEOF_(Future<void>::promise()),
      errEOF_(Future<void>::promise()) {}

Shell::~Shell() {
  for (const auto& stream : streams_) {
    if (stream) stream->cancel();
  }
  // A stream that has not ended has a writer: the child, or a process it
  // left in its group.
  if (child_) child_->terminate(kTerminationGrace, streamsEnded_.load() < 2);
}

void Shell::run(const std::vector<std::string>& args) {
  if (started_.exchange(true)) return;
  auto child = ChildProcess::spawn(cmd_, args, workDir_.path(), ChildProcess::Output::pipes);
  if (child.isFailure()) {
    stdEOF_->complete(child.error());
    errEOF_->complete(child.error());
    return;
  }
  child_ = child.value();
  const std::weak_ptr<Shell> weak = weak_from_this();
  std::array<UniqueFd, 2> pipes{child_->takeOutputPipe(), child_->takeErrorPipe()};
  for (std::size_t i = 0; i < 2; ++i) {
    const bool isErr = i == 1;
    auto watch = FdWatcher::readChunks(
        std::move(pipes[i]), DispatchQueue::global(),
        [weak, isErr](std::string_view chunk) {
          if (auto self = weak.lock()) self->received(isErr, chunk);
        },
        [weak, isErr](const Result<void>& end) {
          if (auto self = weak.lock()) self->ended(isErr, end);
        },
        kMostPerChunk);
    if (watch.isSuccess()) {
      streams_[i] = watch.value();
    } else {
      // The stream cannot be read: it counts as ended, with that error.
      ++streamsEnded_;
      (isErr ? errEOF_ : stdEOF_)->complete(watch.error());
    }
  }
}

void Shell::ended(bool isErr, const Result<void>& end) {
  ++streamsEnded_;
  (isErr ? errEOF_ : stdEOF_)->complete(end);
}

void Shell::received(bool isErr, std::string_view chunk) {
  auto text = detail::recycledUTF8Text(chunk);
  if (!text) return;
  const ShellOutput output(isErr, std::move(text));
  reduce_->update(output);
  if (!isErr) {
    printLine(Thread::dbgName() + " " +
              detail::lastCharacters(output.text(), kDebugLineCharacters));
  }
}

}  // namespace mornik::Flow
