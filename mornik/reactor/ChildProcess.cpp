#include "mornik/reactor/ChildProcess.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <string_view>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "mornik/base/Error.hpp"
#include "mornik/concurrency/BlockingScope.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/LockingProtocol.hpp"

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace mornik {

namespace {

// A pipe whose ends are close-on-exec and above the standard descriptors (so
// that placing the write end on 1 or 2 in the child never overwrites the
// other pipe's write end, even when the parent runs with 0-2 closed).
Result<void> makePipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
  std::array<int, 2> ends{};
  if (::pipe2(ends.data(), O_CLOEXEC) != 0) return Error::fromErrno(errno, "pipe2");
  readEnd.reset(ends[0]);
  writeEnd.reset(ends[1]);
  for (UniqueFd* end : {&readEnd, &writeEnd}) {
    if (end->get() > STDERR_FILENO) continue;
    const int moved = ::fcntl(end->get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0) return Error::fromErrno(errno, "fcntl");
    end->reset(moved);
  }
  return {};
}

bool isEnterableDirectory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

bool holdsNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// posix_spawn's attributes and file actions, released on every path.
class SpawnSetup {
 public:
  SpawnSetup() {
    ::posix_spawnattr_init(&attributes_);
    ::posix_spawn_file_actions_init(&actions_);
  }
  ~SpawnSetup() {
    ::posix_spawn_file_actions_destroy(&actions_);
    ::posix_spawnattr_destroy(&attributes_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  // Own process group, no blocked signal, SIGPIPE back to its default; the
  // two write ends on 1 and 2; the working directory.
  int prepare(int outputEnd, int errorEnd, const std::string& workDir) {
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    const short flags = POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    int failed = ::posix_spawnattr_setflags(&attributes_, flags);
    if (failed == 0) failed = ::posix_spawnattr_setpgroup(&attributes_, 0);
    if (failed == 0) failed = ::posix_spawnattr_setsigmask(&attributes_, &none);
    if (failed == 0) failed = ::posix_spawnattr_setsigdefault(&attributes_, &defaults);
    if (failed == 0) failed = ::posix_spawn_file_actions_adddup2(&actions_, outputEnd, 1);
    if (failed == 0) failed = ::posix_spawn_file_actions_adddup2(&actions_, errorEnd, 2);
    if (failed == 0 && !workDir.empty()) {
      failed = ::posix_spawn_file_actions_addchdir_np(&actions_, workDir.c_str());
    }
    return failed;
  }

  const posix_spawnattr_t* attributes() const { return &attributes_; }
  const posix_spawn_file_actions_t* actions() const { return &actions_; }

 private:
  posix_spawnattr_t attributes_{};
  posix_spawn_file_actions_t actions_{};
};

// One read of up to `most` bytes from a pipe, appended to `into` as one
// chunk; false at the pipe's end or on an error. The read goes into the
// calling thread's buffer, so the read that finds the end costs nothing and
// a chunk only its own bytes.
bool readChunk(int fd, std::size_t most, std::vector<std::string>& into) {
  thread_local std::vector<char> buffer;
  if (buffer.size() < most) buffer.resize(most);
  ssize_t got = -1;
  do {
    got = ::read(fd, buffer.data(), most);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return false;
  into.emplace_back(buffer.data(), static_cast<std::size_t>(got));
  return true;
}

// What a pipe holds now, in chunks of at most FdWatcher::kChunkSize: the
// rest of an ended child's output (its writers left behind are not waited
// for).
void readPending(int fd, std::vector<std::string>& into) {
  int pending = 0;
  if (::ioctl(fd, FIONREAD, &pending) != 0) return;
  while (pending > 0) {
    const std::size_t most =
        std::min<std::size_t>(static_cast<std::size_t>(pending), FdWatcher::kChunkSize);
    if (!readChunk(fd, most, into)) return;
    pending -= static_cast<int>(into.back().size());
  }
}

// Collects the end of the child behind a readable pidfd; none when it has
// not ended after all.
std::optional<ExitStatus> collectExit(pid_t pid, int pidfd) {
  siginfo_t info{};
  int waited = -1;
  do {
    waited = ::waitid(P_PIDFD, static_cast<id_t>(pidfd), &info, WEXITED | WNOHANG);
  } while (waited != 0 && errno == EINTR);
  if (waited == 0 && info.si_pid == 0) return std::nullopt;
  ExitStatus status;
  if (waited != 0) {
    status.known = false;
    status.error =
        Error::fromErrno(errno, "cannot collect the exit status of process " + std::to_string(pid));
  } else if (info.si_code == CLD_EXITED) {
    status.code = info.si_status;
  } else {
    status.signal = info.si_status;
  }
  return status;
}

}  // namespace

// A started child: its id, the read ends of its two pipes, its pidfd.
struct ChildProcess::Started {
  pid_t pid = -1;
  UniqueFd output;
  UniqueFd error;
  UniqueFd pidfd;
};

Result<ChildProcess::Started> ChildProcess::start(const std::string& path,
                                                  const std::vector<std::string>& args,
                                                  const std::string& workDir) {
  if (holdsNul(path) || holdsNul(workDir) ||
      std::any_of(args.begin(), args.end(), [](const std::string& a) { return holdsNul(a); })) {
    return Error::fromErrno(EINVAL, "cannot start " + path);
  }
  UniqueFd outputRead;
  UniqueFd outputWrite;
  UniqueFd errorRead;
  UniqueFd errorWrite;
  if (auto made = makePipe(outputRead, outputWrite); made.isFailure()) return made.error();
  if (auto made = makePipe(errorRead, errorWrite); made.isFailure()) return made.error();

  std::vector<char*> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(const_cast<char*>(path.c_str()));  // NOLINT(cppcoreguidelines-pro-type-const-cast)
  for (const std::string& arg : args) {
    argv.push_back(
        const_cast<char*>(arg.c_str()));  // NOLINT(cppcoreguidelines-pro-type-const-cast)
  }
  argv.push_back(nullptr);

  pid_t pid = -1;
  SpawnSetup setup;
  int failed = setup.prepare(outputWrite.get(), errorWrite.get(), workDir);
  if (failed == 0) {
    failed = ::posix_spawn(&pid, path.c_str(), setup.actions(), setup.attributes(), argv.data(),
                           environ);
  }
  outputWrite.reset();
  errorWrite.reset();
  if (failed != 0) {
    // posix_spawn does not say which step failed; a working directory that
    // cannot be entered is the likelier culprit when there is one.
    if (!workDir.empty() && !isEnterableDirectory(workDir)) {
      return Error::fromErrno(
          failed, "cannot enter the working directory " + workDir + " to start " + path);
    }
    return Error::fromErrno(failed, "cannot start " + path);
  }

  // The system call itself: glibc 2.36's <sys/pidfd.h> lacks C linkage for C++.
  UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  if (!pidfd) {
    const int error = errno;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return Error::fromErrno(error, "pidfd_open");
  }
  return Started{pid, std::move(outputRead), std::move(errorRead), std::move(pidfd)};
}

Result<ChildProcess::Pointer> ChildProcess::spawn(const std::string& path,
                                                  const std::vector<std::string>& args,
                                                  const std::string& workDir, Output output) {
  auto started = start(path, args, workDir);
  if (started.isFailure()) return started.error();
  Started& child = started.value();
  auto process = std::make_shared<ChildProcess>(Passkey(), child.pid, std::move(child.output),
                                                std::move(child.error));
  if (auto watching = process->watch(std::move(child.pidfd), output); watching.isFailure()) {
    return watching.error();
  }
  return process;
}

Result<ChildProcess::Pointer> ChildProcess::runToEnd(const std::string& path,
                                                     const std::vector<std::string>& args,
                                                     const std::string& workDir) {
  auto started = start(path, args, workDir);
  if (started.isFailure()) return started.error();
  Started& child = started.value();
  auto process = std::make_shared<ChildProcess>(Passkey(), child.pid, UniqueFd(), UniqueFd());
  process->collect(child);
  return process;
}

void ChildProcess::collect(Started& child) {
  const BlockingScope blocking;
  const std::array<std::vector<std::string>*, 2> targets{&captured_.output, &captured_.error};
  std::array<pollfd, 3> watched{{{child.output.get(), POLLIN, 0},
                                 {child.error.get(), POLLIN, 0},
                                 {child.pidfd.get(), POLLIN, 0}}};
  std::optional<ExitStatus> status;
  while (!status) {
    if (::poll(watched.data(), watched.size(), -1) < 0) continue;  // EINTR, or ENOMEM for now
    for (std::size_t stream = 0; stream < 2; ++stream) {
      if (watched[stream].fd >= 0 && watched[stream].revents != 0 &&
          !readChunk(watched[stream].fd, FdWatcher::kChunkSize, *targets[stream])) {
        watched[stream].fd = -1;  // ended: poll ignores it from now on
      }
    }
    if (watched[2].revents != 0) status = collectExit(child.pid, child.pidfd.get());
  }
  for (std::size_t stream = 0; stream < 2; ++stream) {
    if (watched[stream].fd >= 0) readPending(watched[stream].fd, *targets[stream]);
  }
  {
    detail::ScopedLock<UnfairLock> guard(lock_);
    reaped_ = true;
  }
  status_ = *status;
  ended_.open();
}

ChildProcess::ChildProcess(Passkey /*unused*/, pid_t pid, UniqueFd output, UniqueFd error)
    : pid_(pid), output_(std::move(output)), error_(std::move(error)) {}

Result<void> ChildProcess::watch(UniqueFd pidfd, Output output) {
  auto self = shared_from_this();
  // Everything of this child runs on its own serial queue, so that the
  // reaping never overlaps a read of its pipes.
  const DispatchQueue queue("mornik.child");
  Result<void> watching;
  if (output == Output::capture) {
    const std::array<std::vector<std::string>*, 2> targets{&captured_.output, &captured_.error};
    std::array<UniqueFd, 2> pipes{takeOutputPipe(), takeErrorPipe()};
    for (std::size_t i = 0; i < 2 && watching.isSuccess(); ++i) {
      auto capture = FdWatcher::readChunks(
          std::move(pipes[i]), queue,
          [self, into = targets[i]](std::string_view chunk) { into->emplace_back(chunk); },
          nullptr);
      if (capture.isSuccess()) captureWatches_[i] = capture.value();
      if (capture.isFailure()) watching = capture.error();
    }
  }
  if (watching.isSuccess()) {
    // Registered last: the reaping sees the capture watches stored above.
    FdWatcher::Options exiting;
    exiting.queue = queue;
    exiting.onEnd = [self](const Result<void>& end) {
      if (end.isFailure()) self->lostTrack(end.error());
    };
    auto exit =
        FdWatcher::watch(std::move(pidfd), std::move(exiting),
                         [self](FdWatch& watch, FdEvents) { return self->reap(watch.fd()); });
    if (exit.isFailure()) watching = exit.error();
  }
  if (watching.isFailure()) {
    for (auto& watch : captureWatches_) {
      if (watch) watch->cancel();
    }
    ::kill(-pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  return watching;
}

bool ChildProcess::reap(int pidfd) {
  std::optional<ExitStatus> status;
  {
    // Under the lock, so that terminate() never signals a group whose
    // leader has been reaped in the meantime (its id could be reused).
    detail::ScopedLock<UnfairLock> guard(lock_);
    status = collectExit(pid_, pidfd);
    if (!status) return true;  // not ended after all: wait on
    reaped_ = true;
  }
  endWith(std::move(*status));
  return false;
}

void ChildProcess::lostTrack(const Error& error) {
  {
    detail::ScopedLock<UnfairLock> guard(lock_);
    if (reaped_) return;
  }
  ExitStatus unknown;
  unknown.known = false;
  unknown.error = error;
  endWith(std::move(unknown));
}

void ChildProcess::endWith(ExitStatus status) {
  // What the child wrote before it ended is in the pipes now; take it and
  // stop (the pipe watches run on this queue too, so none runs now).
  const std::array<std::vector<std::string>*, 2> targets{&captured_.output, &captured_.error};
  for (std::size_t i = 0; i < 2; ++i) {
    const auto& watch = captureWatches_[i];
    if (!watch) continue;
    if (!watch->isFinished()) readPending(watch->fd(), *targets[i]);
    watch->cancel();
  }
  status_ = std::move(status);
  ended_.open();
}

UniqueFd ChildProcess::takeOutputPipe() {
  detail::ScopedLock<UnfairLock> guard(lock_);
  return std::move(output_);
}

UniqueFd ChildProcess::takeErrorPipe() {
  detail::ScopedLock<UnfairLock> guard(lock_);
  return std::move(error_);
}

std::optional<ExitStatus> ChildProcess::exitStatus() const {
  if (!ended_.isOpen()) return std::nullopt;
  return status_;
}

ExitStatus ChildProcess::waitUntilExit() const {
  ended_.wait();
  return status_;
}

const CapturedOutput& ChildProcess::capturedOutput() const {
  static const CapturedOutput kNone;
  return ended_.isOpen() ? captured_ : kNone;
}

void ChildProcess::terminate(double grace, bool evenAfterExit) {
  {
    detail::ScopedLock<UnfairLock> guard(lock_);
    if (terminating_) return;
    terminating_ = true;
    if (reaped_ && !evenAfterExit) return;
    ::kill(-pid_, SIGTERM);
  }
  // Within the grace period the group's id cannot in practice have been
  // given to another group, even when every member ended meanwhile: the
  // kernel hands out ids in a cycle.
  DispatchQueue::global().asyncAfter(grace,
                                     [self = shared_from_this()] { ::kill(-self->pid_, SIGKILL); });
}

}  // namespace mornik
