#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "mornik/base/Error.hpp"
#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/concurrency/CompletionLatch.hpp"
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

// A child process started by path with an argument vector (no shell, no word
// splitting) in a working directory, in a process group of its own, with its
// standard output and standard error connected to pipes; standard input and
// the environment are inherited, and so are ignored signals, except that
// SIGPIPE has its default action and no signal is blocked.
//
//   auto child = ChildProcess::spawn("/usr/bin/git", {"status", "--short"}, "/home/me/src",
//                                    ChildProcess::Output::capture);
//   if (child) {
//     ExitStatus status = child.value()->waitUntilExit();
//     const CapturedOutput& out = child.value()->capturedOutput();
//   }
//
// Exit: the child is watched through a pidfd and reaped by the library as
// soon as it ends, whether anyone still holds this object or not: it never
// stays a zombie (unless the watcher fails, see ExitStatus::error), and no
// SIGCHLD handler is involved. (When the application ignores SIGCHLD, or
// reaps children itself with waitpid(-1), the status cannot be collected:
// ExitStatus::known is false.) A spawned child's pipes and exit are handled
// on a serial queue of its own, off the watcher's thread.
//
// Output::pipes hands the read ends of both pipes to the caller
// (takeOutputPipe, takeErrorPipe), who must drain them. Output::capture has
// the library drain both pipes from the start, concurrently, so the child
// never blocks on a full pipe; when the child has ended, what is left in the
// pipes is read and the pipes are closed (output written later by processes
// the child left behind is not waited for), and only then does the child
// count as ended.
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
  enum class Output { pipes, capture };

  // Starts `path` with argv = path, then `args`, in `workDir` (empty: the
  // caller's; a relative `path` is taken from `workDir`). Fails when the
  // child cannot start, with the POSIX error (code = errno) and a message
  // naming the path and the system's reason:
  //   "cannot start <path>: <reason>"
  //   "cannot enter the working directory <workDir> to start <path>: <reason>"
  static Result<Pointer> spawn(const std::string& path, const std::vector<std::string>& args,
                               const std::string& workDir, Output output);

  // Starts a child as spawn(..., Output::capture) does and waits until it
  // has ended, reading both pipes and collecting its end on the calling
  // thread (which counts as blocked for the worker pool) rather than on the
  // watcher's: the same outcome as spawn() then waitUntilExit(), without a
  // hand-over between threads. Fails as spawn() does.
  static Result<Pointer> runToEnd(const std::string& path, const std::vector<std::string>& args,
                                  const std::string& workDir);

  ChildProcess(Passkey /*unused*/, pid_t pid, UniqueFd output, UniqueFd error);
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() = default;

  // The process id, which is also the id of its process group.
  pid_t pid() const noexcept { return pid_; }

  // Output::pipes: the read end of standard output (standard error), once;
  // afterwards, and with Output::capture, an empty descriptor.
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
  // Empty while it runs and with Output::pipes.
  const CapturedOutput& capturedOutput() const;

  // Ends the child's process group: SIGTERM now, then SIGKILL to whatever
  // of the group is left after `grace` seconds (members that ignore
  // SIGTERM included). Nothing is sent when the child has been reaped
  // already, unless `evenAfterExit` (for processes it left in its group,
  // which the caller knows of: they hold its pipes). Only the first call
  // acts; it does not wait.
  void terminate(double grace, bool evenAfterExit = false) MORNIK_EXCLUDES(lock_);

 private:
  struct Started;
  static Result<Started> start(const std::string& path, const std::vector<std::string>& args,
                               const std::string& workDir);
  // runToEnd's wait: reads both pipes until the child ends, then what they
  // hold, then opens `ended_`.
  void collect(Started& child) MORNIK_EXCLUDES(lock_);
  // Starts watching the pidfd (and, with capture, both pipes).
  Result<void> watch(UniqueFd pidfd, Output output);
  // The pidfd is readable: reap, collect what is left, open `ended_`;
  // true when the child turns out not to have ended (watch on).
  bool reap(int pidfd) MORNIK_EXCLUDES(lock_);
  // The pidfd watch ended before the child was reaped.
  void lostTrack(const Error& error) MORNIK_EXCLUDES(lock_);
  // The end: stops the capture watches, publishes the status.
  void endWith(ExitStatus status);

  const pid_t pid_;
  mutable UnfairLock lock_;
  UniqueFd output_ MORNIK_GUARDED_BY(lock_);
  UniqueFd error_ MORNIK_GUARDED_BY(lock_);
  bool reaped_ MORNIK_GUARDED_BY(lock_) = false;
  bool terminating_ MORNIK_GUARDED_BY(lock_) = false;
  // Written on the child's queue (or runToEnd's thread) before ended_
  // opens; read after.
  ExitStatus status_;
  CapturedOutput captured_;
  std::array<std::shared_ptr<FdWatch>, 2> captureWatches_;
  mutable CompletionLatch ended_;
};

}  // namespace mornik

MORNIK_EXPORTS_END
