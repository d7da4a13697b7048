#pragma once

#include <cerrno>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;  // NOLINT(readability-redundant-declaration)

// Starting the helper program tests/support/ChildMain.cpp (built as
// mornik_test_child) for tests that need a second process.
namespace mornik::test {

#ifndef MORNIK_TEST_CHILD
#error "MORNIK_TEST_CHILD (the helper program's path) must be defined by the build"
#endif

// Exit code of the helper when the machine does not allow what it was asked
// to try (a mount namespace, another user): the test skips.
inline constexpr int kChildUnsupported = 77;

struct StartedChild {
  pid_t pid = -1;
  int output = -1;  // read end of the child's standard output
};

// Starts the helper with the arguments; its standard output comes back
// through a pipe.
inline StartedChild startChild(const std::vector<std::string>& args) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  std::vector<std::string> all{MORNIK_TEST_CHILD};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& arg : all) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  if (spawned != 0) {
    ::close(pipeFds[0]);
    throw std::runtime_error("posix_spawn failed");
  }
  return StartedChild{pid, pipeFds[0]};
}

// Reads the child's output up to and including the next line feed (or the
// end); empty at the end.
inline std::string readLine(int fd) {
  std::string line;
  char c = 0;
  while (::read(fd, &c, 1) == 1) {
    line.push_back(c);
    if (c == '\n') break;
  }
  return line;
}

inline std::string readAll(int fd) {
  std::string all;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return all;
    all.append(buffer, static_cast<std::size_t>(got));
  }
}

// The exit code, or -signal when the child was killed.
inline int waitChild(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

struct ChildRun {
  int exitCode = -1;
  std::string output;
};

// Runs the helper to its end.
inline ChildRun runChild(const std::vector<std::string>& args) {
  StartedChild child = startChild(args);
  ChildRun run;
  run.output = readAll(child.output);
  ::close(child.output);
  run.exitCode = waitChild(child.pid);
  return run;
}

}  // namespace mornik::test
