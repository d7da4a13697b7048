#include "mornik/reactor/ChildProcess.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string_view>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "mornik/concurrency/BlockingScope.hpp"
#include "mornik/concurrency/LockingProtocol.hpp"

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace mornik {

namespace {

using Clock = std::chrono::steady_clock;

// Standard output and error (0, 1) of a child's streams; its input is 2.
constexpr std::size_t kInput = 2;

// Moves a descriptor above the standard ones (so that placing another
// descriptor on 0, 1 or 2 in the child never overwrites it, even when the
// parent runs with 0-2 closed); close-on-exec either way.
Result<void> aboveStandard(UniqueFd& end) {
  if (end.get() > STDERR_FILENO) return {};
  const int moved = ::fcntl(end.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (moved < 0) return Error::fromErrno(errno, "fcntl");
  end.reset(moved);
  return {};
}

// A pipe (or, for input, a socket pair, whose writer can refuse SIGPIPE per
// call) with both ends close-on-exec and above the standard descriptors.
Result<void> makeChannel(bool socket, UniqueFd& ours, UniqueFd& theirs, bool oursReads,
                         const std::string& program) {
  std::array<int, 2> ends{};
  const int made = socket ? ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends.data())
                          : ::pipe2(ends.data(), O_CLOEXEC);
  if (made != 0) return Error::fromErrno(errno, "cannot make a pipe to start " + program);
  ours.reset(ends[oursReads ? 0 : 1]);
  theirs.reset(ends[oursReads ? 1 : 0]);
  for (UniqueFd* end : {&ours, &theirs}) {
    if (auto moved = aboveStandard(*end); moved.isFailure()) {
      return Error::fromErrno(static_cast<int>(moved.error().code()),
                              "cannot make a pipe to start " + program);
    }
  }
  return {};
}

bool isEnterableDirectory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

bool holdsNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

std::string limitText(double seconds) {
  std::ostringstream text;
  text << seconds;
  return text.str();
}

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

  // Own process group, no blocked signal, every signal at its default.
  int prepareAttributes() {
    sigset_t none;
    sigemptyset(&none);
    // Every bit set: sigfillset leaves out the two signals the C library
    // keeps for itself (thread cancellation and set*id broadcasts), and the
    // spawn would then leave them ignored in the child.
    sigset_t every;
    std::memset(&every, 0xff, sizeof every);
    const short flags = POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    int failed = ::posix_spawnattr_setflags(&attributes_, flags);
    if (failed == 0) failed = ::posix_spawnattr_setpgroup(&attributes_, 0);
    if (failed == 0) failed = ::posix_spawnattr_setsigmask(&attributes_, &none);
    if (failed == 0) failed = ::posix_spawnattr_setsigdefault(&attributes_, &every);
    return failed;
  }

  // `fd` on `target` in the child (a descriptor of ours, or /dev/null for -1).
  int place(int fd, int target) {
    if (fd >= 0) return ::posix_spawn_file_actions_adddup2(&actions_, fd, target);
    return ::posix_spawn_file_actions_addopen(&actions_, target, "/dev/null",
                                              target == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
  }
  int enter(const std::string& workDir) {
    return ::posix_spawn_file_actions_addchdir_np(&actions_, workDir.c_str());
  }
  // Last: whatever else the application has open stays out of the child.
  int closeTheRest() { return ::posix_spawn_file_actions_addclosefrom_np(&actions_, 3); }

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

// Writes what the socket takes now of `bytes` from `offset`; false when the
// input is over (all written, or the child stopped reading: the rest is
// dropped, without SIGPIPE).
bool writeSome(int fd, std::string_view bytes, std::size_t& offset) {
  while (offset < bytes.size()) {
    const ssize_t sent =
        ::send(fd, bytes.data() + offset, bytes.size() - offset, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      offset += static_cast<std::size_t>(sent);
    } else if (sent < 0 && errno == EINTR) {
      continue;
    } else {
      return sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
  }
  return false;
}

Error collectedElsewhere(pid_t pid, int error) {
  return Error::fromErrno(error,
                          "cannot collect the exit status of process " + std::to_string(pid));
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
    status.error = collectedElsewhere(pid, errno);
  } else if (info.si_code == CLD_EXITED) {
    status.code = info.si_status;
  } else {
    status.signal = info.si_status;
  }
  return status;
}

}  // namespace

// A started child: its id, our ends of its streams (output, error, input),
// its pidfd (none when its status was collected before it could be opened).
struct ChildProcess::Started {
  pid_t pid = -1;
  std::array<UniqueFd, 3> streams;
  UniqueFd pidfd;
};

Result<ChildProcess::Started> ChildProcess::start(const std::string& program,
                                                  const std::vector<std::string>& args,
                                                  const Options& options) {
  if (holdsNul(program) || holdsNul(options.workDir) ||
      std::any_of(args.begin(), args.end(), [](const std::string& a) { return holdsNul(a); })) {
    return Error::fromErrno(EINVAL, "cannot start " + program);
  }
  if (!(options.timeLimit > 0)) {
    return Error::fromErrno(EINVAL, "cannot start " + program + " with a time limit of " +
                                        limitText(options.timeLimit) + " s");
  }
  Started child;
  std::array<UniqueFd, 3> theirs;  // the child's ends: output, error, input
  const bool piped = options.output != Output::inherit;
  const std::array<bool, 3> wanted{piped, piped && !options.discardErrors,
                                   options.input == Input::bytes};
  for (std::size_t i = 0; i < 3; ++i) {
    if (!wanted[i]) continue;
    auto made = makeChannel(i == kInput, child.streams[i], theirs[i], i != kInput, program);
    if (made.isFailure()) return made.error();
  }

  std::vector<char*> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(
      const_cast<char*>(program.c_str()));  // NOLINT(cppcoreguidelines-pro-type-const-cast)
  for (const std::string& arg : args) {
    argv.push_back(
        const_cast<char*>(arg.c_str()));  // NOLINT(cppcoreguidelines-pro-type-const-cast)
  }
  argv.push_back(nullptr);

  SpawnSetup setup;
  int failed = setup.prepareAttributes();
  if (failed == 0 && options.input != Input::inherit) {
    failed = setup.place(theirs[kInput].get(), STDIN_FILENO);  // -1 (null): /dev/null
  }
  if (failed == 0 && piped) failed = setup.place(theirs[0].get(), STDOUT_FILENO);
  if (failed == 0 && (piped || options.discardErrors)) {
    failed = setup.place(theirs[1].get(), STDERR_FILENO);  // -1 (discarded): /dev/null
  }
  if (failed == 0 && !options.workDir.empty()) failed = setup.enter(options.workDir);
  if (failed == 0) failed = setup.closeTheRest();
  if (failed == 0) {
    failed = options.searchPath ? ::posix_spawnp(&child.pid, program.c_str(), setup.actions(),
                                                 setup.attributes(), argv.data(), environ)
                                : ::posix_spawn(&child.pid, program.c_str(), setup.actions(),
                                                setup.attributes(), argv.data(), environ);
  }
  for (UniqueFd& end : theirs) end.reset();
  if (failed != 0) {
    // posix_spawn does not say which step failed; a working directory that
    // cannot be entered is the likelier culprit when there is one.
    if (!options.workDir.empty() && !isEnterableDirectory(options.workDir)) {
      return Error::fromErrno(
          failed, "cannot enter the working directory " + options.workDir + " to start " + program);
    }
    return Error::fromErrno(failed, "cannot start " + program);
  }

  // The system call itself: glibc 2.36's <sys/pidfd.h> lacks C linkage for C++.
  child.pidfd.reset(static_cast<int>(::syscall(SYS_pidfd_open, child.pid, 0)));
  if (!child.pidfd && errno != ESRCH) {
    const int error = errno;
    ::kill(-child.pid, SIGKILL);
    ::waitpid(child.pid, nullptr, 0);
    return Error::fromErrno(error, "pidfd_open");
  }
  // ESRCH: gone already and reaped by someone else (SIGCHLD ignored).
  return child;
}

Result<ChildProcess::Pointer> ChildProcess::spawn(const std::string& program,
                                                  const std::vector<std::string>& args,
                                                  const Options& options) {
  auto started = start(program, args, options);
  if (started.isFailure()) return started.error();
  Started& child = started.value();
  const bool handedOut = options.output == Output::pipes;
  auto process = std::make_shared<ChildProcess>(
      Passkey(), child.pid, handedOut ? std::move(child.streams[0]) : UniqueFd(),
      handedOut ? std::move(child.streams[1]) : UniqueFd());
  if (auto watching = process->watch(child, options); watching.isFailure()) {
    return watching.error();
  }
  return process;
}

Result<ChildProcess::Pointer> ChildProcess::spawn(const std::string& path,
                                                  const std::vector<std::string>& args,
                                                  const std::string& workDir, Output output) {
  Options options;
  options.workDir = workDir;
  options.output = output;
  return spawn(path, args, options);
}

Result<ChildProcess::Pointer> ChildProcess::runToEnd(const std::string& program,
                                                     const std::vector<std::string>& args,
                                                     const Options& options) {
  Options capturing = options;
  if (capturing.output == Output::pipes) capturing.output = Output::capture;
  auto started = start(program, args, capturing);
  if (started.isFailure()) return started.error();
  auto process =
      std::make_shared<ChildProcess>(Passkey(), started.value().pid, UniqueFd(), UniqueFd());
  process->collect(started.value(), capturing);
  return process;
}

Result<ChildProcess::Pointer> ChildProcess::runToEnd(const std::string& path,
                                                     const std::vector<std::string>& args,
                                                     const std::string& workDir) {
  Options options;
  options.workDir = workDir;
  return runToEnd(path, args, options);
}

std::optional<std::string> ChildProcess::findProgram(std::string_view program) {
  const auto executable = [](const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
  };
  if (program.empty() || holdsNul(program)) return std::nullopt;
  if (program.find('/') != std::string_view::npos) {
    std::string path(program);
    if (executable(path)) return path;
    return std::nullopt;
  }
  // As execvp: PATH's folders in order, an empty entry the working
  // directory, and the C library's default when PATH is unset.
  const char* pathVariable = std::getenv("PATH");  // NOLINT(concurrency-mt-unsafe): read only
  std::string_view path = pathVariable != nullptr ? pathVariable : "/bin:/usr/bin";
  for (;;) {
    const std::size_t colon = path.find(':');
    const std::string_view folder = path.substr(0, colon);
    std::string candidate = (folder.empty() ? std::string(".") : std::string(folder)) + "/";
    candidate += program;
    if (executable(candidate)) return candidate;
    if (colon == std::string_view::npos) return std::nullopt;
    path.remove_prefix(colon + 1);
  }
}

void ChildProcess::collect(Started& child, const Options& options) {
  const BlockingScope blocking;
  const std::array<std::vector<std::string>*, 2> targets{&captured_.output, &captured_.error};
  std::array<pollfd, 4> watched{{{child.streams[0].get(), POLLIN, 0},
                                 {child.streams[1].get(), POLLIN, 0},
                                 {child.streams[kInput].get(), POLLOUT, 0},
                                 {child.pidfd.get(), POLLIN, 0}}};
  std::size_t written = 0;
  // With a time limit: SIGTERM at `termAt`, SIGKILL at `killAt`.
  const bool limited = options.timeLimit != HUGE_VAL;
  const auto after = [start = Clock::now()](double seconds) {
    return start + std::chrono::duration_cast<Clock::duration>(
                       std::chrono::duration<double>(std::min(seconds, 1e9)));
  };
  const Clock::time_point termAt = after(limited ? options.timeLimit : 0);
  const Clock::time_point killAt = after(limited ? options.timeLimit + kTimeLimitGrace : 0);
  int signalsSent = 0;
  std::optional<ExitStatus> status;
  if (!child.pidfd) status = ExitStatus{0, 0, false, false, collectedElsewhere(pid_, ECHILD)};
  while (!status) {
    int timeout = -1;
    if (limited && signalsSent < 2) {
      const auto due = signalsSent == 0 ? termAt : killAt;
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()).count();
      timeout = static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
    }
    const int ready = ::poll(watched.data(), watched.size(), timeout);
    if (ready < 0) continue;  // EINTR, or ENOMEM for now
    for (std::size_t stream = 0; stream < 2; ++stream) {
      if (watched[stream].fd >= 0 && watched[stream].revents != 0 &&
          !readChunk(watched[stream].fd, FdWatcher::kChunkSize, *targets[stream])) {
        watched[stream].fd = -1;  // ended: poll ignores it from now on
      }
    }
    if (watched[kInput].fd >= 0 && watched[kInput].revents != 0 &&
        !writeSome(watched[kInput].fd, options.inputBytes, written)) {
      child.streams[kInput].reset();  // the end of the child's input
      watched[kInput].fd = -1;
    }
    if (watched[3].revents != 0) {
      detail::ScopedLock<UnfairLock> guard(lock_);
      status = collectExit(pid_, child.pidfd.get());
      if (status) reaped_ = true;
      continue;
    }
    if (limited && signalsSent < 2 && Clock::now() >= (signalsSent == 0 ? termAt : killAt)) {
      detail::ScopedLock<UnfairLock> guard(lock_);
      timedOut_ = terminating_ = true;
      ::kill(-pid_, signalsSent++ == 0 ? SIGTERM : SIGKILL);
    }
  }
  for (std::size_t stream = 0; stream < 2; ++stream) {
    if (watched[stream].fd >= 0) readPending(watched[stream].fd, *targets[stream]);
  }
  {
    detail::ScopedLock<UnfairLock> guard(lock_);
    status->timedOut = timedOut_;
  }
  status_ = std::move(*status);
  ended_.open();
}

ChildProcess::ChildProcess(Passkey /*unused*/, pid_t pid, UniqueFd output, UniqueFd error)
    : pid_(pid), output_(std::move(output)), error_(std::move(error)) {}

Result<void> ChildProcess::watch(Started& child, const Options& options) {
  const std::array<std::vector<std::string>*, 2> targets{&captured_.output, &captured_.error};
  if (!child.pidfd) {  // gone already: what it wrote is in the pipes
    for (std::size_t i = 0; i < 2 && options.output == Output::capture; ++i) {
      if (child.streams[i]) readPending(child.streams[i].get(), *targets[i]);
    }
    endWith(ExitStatus{0, 0, false, false, collectedElsewhere(pid_, ECHILD)});
    return {};
  }
  auto self = shared_from_this();
  // Everything of this child runs on its own serial queue, so that the
  // reaping never overlaps a read of its pipes.
  const DispatchQueue queue("mornik.child");
  Result<void> watching;
  if (options.output == Output::capture) {
    for (std::size_t i = 0; i < 2 && watching.isSuccess(); ++i) {
      if (!child.streams[i]) continue;
      auto capture = FdWatcher::readChunks(
          std::move(child.streams[i]), queue,
          [self, into = targets[i]](std::string_view chunk) { into->emplace_back(chunk); },
          nullptr);
      if (capture.isSuccess()) streamWatches_[i] = capture.value();
      if (capture.isFailure()) watching = capture.error();
    }
  }
  if (watching.isSuccess() && child.streams[kInput]) {
    FdWatcher::Options writing;
    writing.interest = FdEvents::writable;
    writing.queue = queue;
    auto input = FdWatcher::watch(
        std::move(child.streams[kInput]), std::move(writing),
        [bytes = options.inputBytes, written = std::size_t{0}](FdWatch& watch, FdEvents) mutable {
          return writeSome(watch.fd(), bytes, written);
        });
    if (input.isSuccess()) streamWatches_[kInput] = input.value();
    if (input.isFailure()) watching = input.error();
  }
  if (watching.isSuccess()) {
    // Registered last: the reaping sees the stream watches stored above.
    FdWatcher::Options exiting;
    exiting.queue = queue;
    exiting.onEnd = [self](const Result<void>& end) {
      if (end.isFailure()) self->lostTrack(end.error());
    };
    auto exit =
        FdWatcher::watch(std::move(child.pidfd), std::move(exiting),
                         [self](FdWatch& watch, FdEvents) { return self->reap(watch.fd()); });
    if (exit.isFailure()) watching = exit.error();
  }
  if (watching.isFailure()) {
    for (auto& watch : streamWatches_) {
      if (watch) watch->cancel();
    }
    ::kill(-pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    return watching;
  }
  if (options.timeLimit != HUGE_VAL) {
    queue.asyncAfter(std::min(options.timeLimit, 1e9), [weak = weak_from_this()] {
      if (auto process = weak.lock()) process->timeLimitReached();
    });
  }
  return {};
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
    status->timedOut = timedOut_;
  }
  endWith(std::move(*status));
  return false;
}

void ChildProcess::lostTrack(const Error& error) {
  {
    detail::ScopedLock<UnfairLock> guard(lock_);
    if (reaped_) return;
  }
  endWith(ExitStatus{0, 0, false, false, error});
}

void ChildProcess::endWith(ExitStatus status) {
  // What the child wrote before it ended is in the pipes now; take it and
  // stop (the pipe watches run on this queue too, so none runs now).
  const std::array<std::vector<std::string>*, 2> targets{&captured_.output, &captured_.error};
  for (std::size_t i = 0; i < streamWatches_.size(); ++i) {
    const auto& watch = streamWatches_[i];
    if (!watch) continue;
    if (i != kInput && !watch->isFinished()) readPending(watch->fd(), *targets[i]);
    watch->cancel();
  }
  status_ = std::move(status);
  ended_.open();
}

void ChildProcess::timeLimitReached() {
  {
    detail::ScopedLock<UnfairLock> guard(lock_);
    if (reaped_) return;
    timedOut_ = true;
  }
  terminate(kTimeLimitGrace);
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
