#pragma once

#include <array>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include "mornik/base/Error.hpp"
#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/concurrency/CompletionLatch.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/ThreadAnnotations.hpp"
#include "mornik/concurrency/UnfairLock.hpp"
#include "mornik/fileio/UniqueFd.hpp"
#include "mornik/reactor/FdWatcher.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// How a child process ended.
struct ExitStatus {
  int code = 0;       // the exit code, when it exited
  int signal = 0;     // the signal that ended it, or 0
  bool known = true;  // false when the status could not be collected (see error)
  // Whether the library ended it at its time limit (ChildProcess::Options);
  // `signal` then says which signal ended it (SIGTERM, or SIGKILL after the
  // grace period).
  bool timedOut = false;
  // Why the status is not known: the status was collected elsewhere (the
  // application ignores SIGCHLD or reaps children itself: ECHILD), or the
  // library could no longer watch the child (the watcher's end error).
  std::optional<Error> error;
  // The exit code, or the signal number when a signal ended it.
  int terminationStatus() const noexcept { return signal != 0 ? signal : code; }
  friend bool operator==(const ExitStatus&, const ExitStatus&) = default;
};

// The output of a child started with ChildProcess::Output::capture: the
// chunks of each stream in the order they were read, one read (of up to
// FdWatcher::kChunkSize bytes) per chunk.
struct CapturedOutput {
  std::vector<std::string> output;
  std::vector<std::string> error;
};

// The library's one way to start a program: by path (or by name on PATH)
// with an argument vector (no shell, no word splitting), in a working
// directory, in a process group of its own, with the environment inherited.
//
//   auto child = ChildProcess::spawn("/usr/bin/git", {"status", "--short"}, "/home/me/src",
//                                    ChildProcess::Output::capture);
//   if (child.isSuccess()) {
//     ExitStatus status = child.value()->waitUntilExit();
//     const CapturedOutput& out = child.value()->capturedOutput();
//   }
//
//   ChildProcess::Options options;
//   options.searchPath = true;
//   options.input = ChildProcess::Input::bytes;
//   options.inputBytes = "text for the clipboard";
//   options.timeLimit = 5;
//   auto copied = ChildProcess::runToEnd("wl-copy", {}, options);
//
// What a child starts with, whatever the application changed: an empty
// signal mask and the default action for every signal (the C library's own
// included); no descriptor of the application other than its standard input,
// output and error (everything above 2 is closed, close-on-exec or not); a
// process group of its own (its id is the child's pid).
//
// Streams: standard input is inherited, /dev/null, or bytes the library
// writes (Input). Standard output and error go to pipes the caller drains
// (Output::pipes), to pipes the library drains (Output::capture), or where
// the application's go (Output::inherit); standard error may be discarded
// instead (Options::discardErrors). With Output::capture the library drains
// both pipes from the start, concurrently, so the child never blocks on a
// full pipe; when the child has ended, what is left in the pipes is read and
// the pipes are closed (output written later by processes the child left
// behind is not waited for), and only then does the child count as ended.
// Input bytes are written as the child reads them, never blocking a queue's
// thread or the watcher's, and without SIGPIPE when the child stops reading
// early (the rest is dropped); once the child has ended, writing stops.
//
// Exit: the child is watched through a pidfd and reaped by the library as
// soon as it ends, whether anyone still holds this object or not, detached
// children included: it never stays a zombie (unless the watcher fails, see
// ExitStatus::error), and no SIGCHLD handler, thread or timer per child is
// involved. (When the application ignores SIGCHLD, or reaps children itself
// with waitpid(-1), the status cannot be collected: ExitStatus::known is
// false.) A spawned child's pipes and exit are handled on a serial queue of
// its own, off the watcher's thread.
//
// Time limit: a child still running after Options::timeLimit seconds gets
// SIGTERM sent to its process group, then SIGKILL after kTimeLimitGrace
// seconds; it is reaped as usual and ExitStatus::timedOut says so.
//
// Ownership: held by std::shared_ptr. The library keeps the object alive
// until the child has been reaped (and, after terminate(), until its grace
// period has passed).
// Thread safety: every member may be called from any thread.
class ChildProcess final : public std::enable_shared_from_this<ChildProcess> {
  struct Passkey {
    explicit Passkey() = default;
  };

 public:
  using Pointer = std::shared_ptr<ChildProcess>;
  enum class Output { pipes, capture, inherit };
  enum class Input { inherit, null, bytes };

  // Seconds between SIGTERM and SIGKILL when a child overruns its time limit.
  static constexpr double kTimeLimitGrace = 1.0;

  struct Options {
    // Where the child starts; empty: the caller's working directory. A
    // relative program path is taken from there.
    std::string workDir;
    Output output = Output::capture;
    // Standard error to /dev/null (not piped, not inherited).
    bool discardErrors = false;
    Input input = Input::inherit;
    // With Input::bytes: what the child reads on its standard input, then
    // the end of it.
    std::string inputBytes;
    // A program name without '/' is looked up on PATH, as execvp does (the
    // working directory applies first); one with '/' is taken as it is.
    bool searchPath = false;
    // Seconds the child may run (see above); infinity: no limit. Zero,
    // negative and NaN are refused (EINVAL) before anything starts.
    double timeLimit = HUGE_VAL;
  };

  // Starts `program` with argv = program, then `args`. Fails when the child
  // cannot start, with the POSIX error (code = errno, ENOENT for a missing
  // program) and a message naming the program, the step that failed and the
  // system's reason:
  //   "cannot start <program>: <reason>"
  //   "cannot enter the working directory <workDir> to start <program>: <reason>"
  //   "cannot make a pipe to start <program>: <reason>"
  //   "cannot start <program> with a time limit of <limit> s: Invalid argument"
  // (a NUL byte in the program, an argument or the working directory: EINVAL).
  static Result<Pointer> spawn(const std::string& program, const std::vector<std::string>& args,
                               const Options& options);
  // spawn() with only a working directory and an output mode.
  static Result<Pointer> spawn(const std::string& path, const std::vector<std::string>& args,
                               const std::string& workDir, Output output);

  // Starts a child as spawn() does and waits until it has ended, reading
  // its pipes, writing its input and collecting its end on the calling
  // thread (which counts as blocked for the worker pool) rather than on the
  // watcher's: no hand-over between threads, no queue involved. The output is
  // captured (Output::pipes counts as capture; Output::inherit stays). Fails
  // as spawn() does.
  static Result<Pointer> runToEnd(const std::string& program, const std::vector<std::string>& args,
                                  const Options& options);
  static Result<Pointer> runToEnd(const std::string& path, const std::vector<std::string>& args,
                                  const std::string& workDir);

  // The path spawn() with searchPath would start for `program`: the first
  // executable file of that name in the folders of PATH (a name with '/'
  // itself, when executable), or none.
  static std::optional<std::string> findProgram(std::string_view program);

  ChildProcess(Passkey /*unused*/, pid_t pid, UniqueFd output, UniqueFd error);
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() = default;

  // The process id, which is also the id of its process group.
  pid_t pid() const noexcept { return pid_; }

  // Output::pipes: the read end of standard output (standard error), once;
  // afterwards, and with the other modes, an empty descriptor.
  UniqueFd takeOutputPipe() MORNIK_EXCLUDES(lock_);
  UniqueFd takeErrorPipe() MORNIK_EXCLUDES(lock_);

  // Whether the child has not ended yet (with Output::capture: or its output
  // is still being collected).
  bool isRunning() const noexcept { return !ended_.isOpen(); }
  // How it ended, or none while it runs.
  std::optional<ExitStatus> exitStatus() const;
  // Blocks until the child has ended; must not be called where the caller
  // itself keeps the child from ending.
  ExitStatus waitUntilExit() const;
  // With Output::capture, once the child has ended: everything it wrote.
  // Empty while it runs and with the other modes.
  const CapturedOutput& capturedOutput() const;

  // Ends the child's process group: SIGTERM now, then SIGKILL to whatever
  // of the group is left after `grace` seconds (members that ignore
  // SIGTERM included). Nothing is sent when the child has been reaped
  // already, unless `evenAfterExit` (for processes it left in its group,
  // which the caller knows of: they hold its pipes). Only the first call
  // acts (the time limit's included); it does not wait.
  void terminate(double grace, bool evenAfterExit = false) MORNIK_EXCLUDES(lock_);

 private:
  struct Started;
  static Result<Started> start(const std::string& program, const std::vector<std::string>& args,
                               const Options& options);
  // runToEnd's wait: reads the pipes and writes the input until the child
  // ends, then what the pipes hold, then opens `ended_`.
  void collect(Started& child, const Options& options) MORNIK_EXCLUDES(lock_);
  // Starts watching the pidfd, the pipes to capture and the input to write,
  // on the child's queue, and the time limit.
  Result<void> watch(Started& child, const Options& options);
  // The pidfd is readable: reap, collect what is left, open `ended_`;
  // true when the child turns out not to have ended (watch on).
  bool reap(int pidfd) MORNIK_EXCLUDES(lock_);
  // The pidfd watch ended before the child was reaped.
  void lostTrack(const Error& error) MORNIK_EXCLUDES(lock_);
  void timeLimitReached() MORNIK_EXCLUDES(lock_);
  // The end: stops the capture and input watches, publishes the status.
  void endWith(ExitStatus status);

  const pid_t pid_;
  mutable UnfairLock lock_;
  UniqueFd output_ MORNIK_GUARDED_BY(lock_);
  UniqueFd error_ MORNIK_GUARDED_BY(lock_);
  bool reaped_ MORNIK_GUARDED_BY(lock_) = false;
  bool terminating_ MORNIK_GUARDED_BY(lock_) = false;
  bool timedOut_ MORNIK_GUARDED_BY(lock_) = false;
  // Written on the child's queue (or runToEnd's thread) before ended_
  // opens; read after.
  ExitStatus status_;
  CapturedOutput captured_;
  // The capture watches (output, error) and the input watch; set before the
  // pidfd is watched, used on the child's queue.
  std::array<std::shared_ptr<FdWatch>, 3> streamWatches_;
  mutable CompletionLatch ended_;
};

}  // namespace mornik

MORNIK_EXPORTS_END
