#pragma once

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/RunLoopWait.hpp"

extern char** environ;  // NOLINT(readability-redundant-declaration)

// The desktop each test runs in (see DesktopSession.cpp) and what tests do
// with it: the record files of the fake applications and services, the fake
// service, and the desktop's programs.
namespace mornik::test {

inline constexpr const char* kRootVariable = "MORNIK_DESKTOP_ROOT";

inline std::string environment(const char* name) {
  const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe)
  return value != nullptr ? value : "";
}

// The temporary root of this run's desktop.
inline std::filesystem::path desktopRoot() { return environment(kRootVariable); }

inline bool onPath(const std::string& program) {
  std::stringstream path(environment("PATH"));
  for (std::string folder; std::getline(path, folder, ':');) {
    if (!folder.empty() && ::access((folder + "/" + program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

// What the fake application `name` was started with, one line a launch.
inline std::string record(const std::string& name) {
  return readFile(desktopRoot() / "records" / (name + ".log"));
}

// Waits until the record of `name` holds `text`.
inline bool waitForRecord(const std::string& name, const std::string& text) {
  return waitFor([&] { return record(name).find(text) != std::string::npos; });
}

// Runs a program to its end with `input` on its standard input; its output
// (standard error goes to a file, so that programs leaving children behind
// never hold a pipe of ours).
struct Ran {
  int exitCode = -1;
  std::string output;
};
inline Ran run(const std::vector<std::string>& argv, const std::string& input = {}) {
  const std::filesystem::path base = desktopRoot() / ("run-" + std::to_string(::getpid()));
  std::ofstream(base.string() + ".in") << input;
  std::string command;
  for (const auto& arg : argv) command += "'" + arg + "' ";
  command += "< '" + base.string() + ".in' > '" + base.string() + ".out' 2>/dev/null";
  const int status = std::system(command.c_str());  // NOLINT(concurrency-mt-unsafe)
  return Ran{WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(base.string() + ".out")};
}

// A started program, ended (SIGTERM) and reaped when the object goes.
class Background {
 public:
  explicit Background(std::vector<std::string> argv) {
    std::vector<char*> args;
    for (auto& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", 01, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", 01, 0);
    if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;
  ~Background() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  bool started() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

// The fake file manager and portal on this run's bus, recording to
// record("service"). Started and ready, or skips the test.
#ifndef MORNIK_FAKE_SERVICE
#error "MORNIK_FAKE_SERVICE (the fake service's path) must be defined by the build"
#endif
class FakeService : public Background {
 public:
  explicit FakeService(std::vector<std::string> options = {})
      : Background(arguments(std::move(options))) {}
  bool ready() const { return started() && waitForRecord("service", "ready"); }

 private:
  static std::vector<std::string> arguments(std::vector<std::string> options) {
    std::filesystem::remove(desktopRoot() / "records" / "service.log");
    std::vector<std::string> all{MORNIK_FAKE_SERVICE,
                                 (desktopRoot() / "records" / "service.log").string()};
    all.insert(all.end(), options.begin(), options.end());
    return all;
  }
};

// Skips the test when a session bus is not there (dbus-run-session missing).
#define MORNIK_NEED_BUS()                                                                    \
  if (::mornik::test::environment("DBUS_SESSION_BUS_ADDRESS").empty())                       \
  GTEST_SKIP() << "no session bus: dbus-run-session (package dbus-daemon) is not installed"
#define MORNIK_NEED_DISPLAY()                                       \
  if (::mornik::test::environment("DISPLAY").empty())               \
  GTEST_SKIP() << "no X display: Xvfb (package xvfb) is not installed"
#define MORNIK_NEED_PROGRAM(program)                                                   \
  if (!::mornik::test::onPath(program))                                                \
  GTEST_SKIP() << program << " is not installed (see scripts/common.sh's test packages)"

// Sets an environment variable for one scope and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;  // NOLINT(concurrency-mt-unsafe)
    set(value);
  }
  ~ScopedEnv() { set(old_ ? old_->c_str() : nullptr); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void set(const char* value) {
    if (value != nullptr) {
      ::setenv(name_, value, 1);  // NOLINT(concurrency-mt-unsafe)
    } else {
      ::unsetenv(name_);  // NOLINT(concurrency-mt-unsafe)
    }
  }
  const char* name_;
  std::optional<std::string> old_;
};

}  // namespace mornik::test
