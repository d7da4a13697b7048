#include "mornik/platform/detail/Spawn.hpp"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "mornik/base/Error.hpp"

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace mornik::detail {

namespace {

// Closes a descriptor when it goes out of scope.
struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int value) : fd(value) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  void reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

std::string programName(const std::vector<std::string>& argv) {
  return argv.empty() ? std::string("(nothing)") : argv.front();
}

Error cannotStart(const std::vector<std::string>& argv, int error) {
  return WTF(programName(argv) + " could not be started: " + std::strerror(error), 0);
}

int waitExit(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

// Spawns argv with the given actions; the pid or the spawn error.
Result<pid_t> spawn(const std::vector<std::string>& argv, posix_spawn_file_actions_t* actions) {
  if (argv.empty()) return WTF("no program to start", 0);
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  // The child starts with default signal handling and no blocked signals,
  // whatever this process set.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  const int error = ::posix_spawnp(&pid, args[0], actions, &attributes, args.data(), environ);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) return cannotStart(argv, error);
  return pid;
}

}  // namespace

Result<ChildOutput> runChild(const std::vector<std::string>& argv, std::string_view input,
                             double timeoutSeconds) {
  // A socket for the child's input: send() with MSG_NOSIGNAL never raises
  // SIGPIPE when the child stops reading early.
  int inputPair[2];
  int outputPipe[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, inputPair) != 0) {
    return Error::fromErrno(errno, "socketpair");
  }
  Fd inputOurs(inputPair[0]);
  Fd inputTheirs(inputPair[1]);
  if (::pipe2(outputPipe, O_CLOEXEC) != 0) return Error::fromErrno(errno, "pipe2");
  Fd outputOurs(outputPipe[0]);
  Fd outputTheirs(outputPipe[1]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inputTheirs.fd, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, outputTheirs.fd, STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const Result<pid_t> spawned = spawn(argv, &actions);
  posix_spawn_file_actions_destroy(&actions);
  inputTheirs.reset();
  outputTheirs.reset();
  if (spawned.isFailure()) return spawned.error();
  const pid_t pid = spawned.value();

  // The child may leave a background process holding its standard output
  // (wl-copy does), so the end is the child's exit, seen through a pidfd,
  // not the end of the output.
  Fd exitFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  ::fcntl(outputOurs.fd, F_SETFL, O_NONBLOCK);
  ::fcntl(inputOurs.fd, F_SETFL, O_NONBLOCK);
  if (input.empty()) inputOurs.reset();

  ChildOutput result;
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(timeoutSeconds));
  std::size_t written = 0;
  bool exited = false;
  bool outputOpen = true;
  char buffer[65536];
  const auto drain = [&] {
    for (;;) {
      const ssize_t got = ::read(outputOurs.fd, buffer, sizeof buffer);
      if (got > 0) {
        result.output.append(buffer, static_cast<std::size_t>(got));
        continue;
      }
      if (got == 0) outputOpen = false;
      return;
    }
  };
  while (!exited) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) {
      ::kill(pid, SIGKILL);
      waitExit(pid);
      return WTF(programName(argv) + " did not finish within " +
                     std::to_string(static_cast<long>(std::ceil(timeoutSeconds))) + " s",
                 0);
    }
    pollfd fds[3] = {{exitFd.fd, POLLIN, 0},
                     {outputOpen ? outputOurs.fd : -1, POLLIN, 0},
                     {inputOurs.fd, POLLOUT, 0}};
    const int ready = ::poll(fds, 3, static_cast<int>(std::min<long long>(left, 100)));
    if (ready < 0 && errno != EINTR) break;
    if (fds[1].revents != 0) drain();
    if (fds[2].revents & (POLLOUT | POLLERR | POLLHUP)) {
      const ssize_t sent = ::send(inputOurs.fd, input.data() + written, input.size() - written,
                                  MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent > 0) written += static_cast<std::size_t>(sent);
      if (sent < 0 && errno != EAGAIN && errno != EINTR) written = input.size();
      if (written >= input.size()) inputOurs.reset();  // end of input for the child
    }
    // Without a pidfd (old kernel) fall back to polling the exit.
    if (exitFd.fd >= 0) {
      exited = fds[0].revents != 0;
    } else {
      siginfo_t info{};
      exited = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == pid;
    }
  }
  drain();
  result.exitCode = waitExit(pid);
  return result;
}

Result<void> startDetached(const std::vector<std::string>& argv,
                           const std::filesystem::path& folder) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  const Result<pid_t> spawned = spawn(argv, &actions);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned.isFailure()) return spawned.error();
  std::thread([pid = spawned.value()] { waitExit(pid); }).detach();
  return {};
}

std::optional<std::filesystem::path> findProgram(std::string_view program) {
  if (program.empty()) return std::nullopt;
  if (program.find('/') != std::string_view::npos) {
    const std::string path(program);
    if (::access(path.c_str(), X_OK) == 0) return std::filesystem::path(path);
    return std::nullopt;
  }
  const char* pathVariable = std::getenv("PATH");  // NOLINT(concurrency-mt-unsafe): read only
  std::string_view path = pathVariable != nullptr ? pathVariable : "/usr/local/bin:/usr/bin:/bin";
  while (!path.empty()) {
    const std::size_t colon = path.find(':');
    const std::string_view folder = path.substr(0, colon);
    path = colon == std::string_view::npos ? std::string_view() : path.substr(colon + 1);
    if (folder.empty()) continue;
    std::filesystem::path candidate = std::filesystem::path(folder) / program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::nullopt;
}

}  // namespace mornik::detail
