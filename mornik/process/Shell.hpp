#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mornik/base/Export.hpp"
#include "mornik/flow/future/Future.hpp"
#include "mornik/flow/observe/ObservableObject.hpp"
#include "mornik/flow/pool/Reduce.hpp"
#include "mornik/flow/pool/Streamed.hpp"
#include "mornik/reactor/ChildProcess.hpp"
#include "mornik/reactor/FdWatcher.hpp"
#include "mornik/text/URL.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::Flow {

class Shell;

// A chunk of a child process's output, tagged with the stream it came from.
//
//   ShellOutput::out("built 3 targets\n") == ShellOutput::out("built 3 targets\n");
//   ShellOutput::err("warning") != ShellOutput::out("warning");
//
// Equal when both stream and text are equal. Copies share the text.
// Thread safety: an immutable value.
class ShellOutput {
 public:
  // A chunk of standard output.
  static ShellOutput out(std::string text) { return {false, std::move(text)}; }
  // A chunk of standard error.
  static ShellOutput err(std::string text) { return {true, std::move(text)}; }

  bool isErr() const noexcept { return isErr_; }
  const std::string& text() const noexcept { return *text_; }

  friend bool operator==(const ShellOutput& a, const ShellOutput& b) {
    return a.isErr_ == b.isErr_ && *a.text_ == *b.text_;
  }

 private:
  friend class Shell;  // makes chunks with recycled text
  ShellOutput(bool isErr, std::string text)
      : ShellOutput(isErr, std::make_shared<const std::string>(std::move(text))) {}
  ShellOutput(bool isErr, std::shared_ptr<const std::string> text)
      : isErr_(isErr), text_(std::move(text)) {}

  bool isErr_;
  std::shared_ptr<const std::string> text_;
};

// Runs one program as a child process and turns what it writes into state a
// user interface observes: the latest two output chunks in `tail`, a future
// per output stream that succeeds at the stream's end, and objectWillChange()
// on the main queue whenever either changes.
//
//   auto build = Flow::Shell::make("/usr/bin/make", asURLdir("/home/me/project"));
//   auto sub = build->objectWillChange().subscribe([&] { view.show(build->tail.get()); });
//   build->run({"-j4", "all"});
//   build->stdEOF()->onSuccess(DispatchQueue::main(), [] { done(); });
//
// Chunks: each read of a stream is one chunk: what the child had written by
// then, up to kMostPerChunk (a child that writes faster than its chunks are
// handled gets fewer, larger ones). A chunk that is valid UTF-8 on its own is
// folded into a running reduction that keeps the last two chunks of both
// streams, oldest first; one that is not (including a chunk that ends
// inside a character) is dropped, and the chunks after it are handled as
// usual. For every chunk of standard output kept, a line "<thread name>
// <its last 50 characters>" goes to mornik::printLine.
//
// tail: the reduction's value (published on a serial queue of
// user-interactive class, so that the throttle sees the values in the order
// they were folded), thinned by a throttle of 3 seconds that delivers the
// latest value at the end of each window, is assigned to `tail`
// on the main queue, and objectWillChange() is sent right after each
// assignment; so `tail` changes at most once per 3 seconds. tail.signal()
// runs its handlers on the global user-interactive queue. A caller may
// assign `tail` too, which publishes like any assignment.
//
// stdEOF() / errEOF(): created pending (their handlers default to the global
// queue); each succeeds when its stream reaches end of file (also when
// processes the child started keep writing to it after the child ended: the
// stream ends when the last writer is gone), or fails with the error of a
// read that failed ("cannot read descriptor <n>: <reason>"), and
// objectWillChange() is sent on the main queue after each. When the child cannot be started, both
// fail with the error of ChildProcess::spawn, which names the path and the system's reason ("cannot
// start /no/such/tool: No such file or directory"). The child's exit status is not reported.
//
// Release: when the last reference goes while the child or processes it
// started may still run (a stream has not ended), the pipes are closed and
// the child's process group gets SIGTERM, then SIGKILL after
// kTerminationGrace seconds; the child is reaped in any case (no zombies).
//
// Ownership: held by std::shared_ptr. Every handler of the observation
// chain and of the streams holds the Shell weakly.
// Thread safety: every member may be called from any thread; chunk handlers
// of the two streams run concurrently on the global queue, and their folds
// are serialised by the reduction.
class Shell final : public ObservableObject, public std::enable_shared_from_this<Shell> {
  struct Passkey {
    explicit Passkey() = default;
  };

 public:
  using Pointer = std::shared_ptr<Shell>;
  using Chunks = std::vector<ShellOutput>;

  // How long a released Shell's child group has between SIGTERM and SIGKILL.
  static constexpr double kTerminationGrace = 1.0;
  // The most one chunk takes. Small enough that the chunk, read into the
  // reading thread's buffer, and its copy stay in a core's second-level
  // cache while the copy checks them: a stream of 1 MiB chunks took about
  // 12 % longer on a 1 MiB cache, while the widened pipe (1 MiB) still lets
  // the writer run ahead.
  static constexpr std::size_t kMostPerChunk = std::size_t{128} << 10U;
  // How many characters of a chunk the debug line shows.
  static constexpr std::size_t kDebugLineCharacters = 50;

  // Builds the observation chain; starts nothing.
  static Pointer make(std::string cmd, URL workDir);

  Shell(Passkey /*unused*/, std::string cmd, URL workDir);
  Shell(const Shell&) = delete;
  Shell& operator=(const Shell&) = delete;
  ~Shell() override;

  // Starts `cmd` with argv = cmd, then `args`, in workDir(), and returns once
  // it has started (or failed to). Only the first call acts.
  void run(const std::vector<std::string>& args = {});

  const std::string& cmd() const noexcept { return cmd_; }
  const URL& workDir() const noexcept { return workDir_; }
  const std::shared_ptr<Future<void>>& stdEOF() const noexcept { return stdEOF_; }
  const std::shared_ptr<Future<void>>& errEOF() const noexcept { return errEOF_; }

  // The last two chunks, oldest first (see above).
  Streamed<Chunks> tail;

 private:
  // A chunk read from one stream, on a background queue.
  void received(bool isErr, std::string_view chunk);
  // The end of one stream (its end of file, or a failed read), after its
  // last chunk, on a background queue.
  void ended(bool isErr, const Result<void>& end);

  const std::string cmd_;
  const URL workDir_;
  const std::shared_ptr<Reduce<Chunks, ShellOutput>> reduce_;
  const std::shared_ptr<Future<void>> stdEOF_;
  const std::shared_ptr<Future<void>> errEOF_;
  std::atomic<bool> started_{false};
  std::atomic<int> streamsEnded_{0};
  // Set by run(), read by the destructor.
  ChildProcess::Pointer child_;
  std::array<std::shared_ptr<FdWatch>, 2> streams_;
};

}  // namespace mornik::Flow

template <>
struct std::hash<mornik::Flow::ShellOutput> {
  // Feeds whether it is standard error, then the text.
  std::size_t operator()(const mornik::Flow::ShellOutput& chunk) const noexcept {
    const std::size_t seed = std::hash<bool>()(chunk.isErr());
    return seed ^ (std::hash<std::string>()(chunk.text()) + 0x9e3779b97f4a7c15ULL + (seed << 6) +
                   (seed >> 2));
  }
};

MORNIK_EXPORTS_END
