#include "mornik/reactor/ChildProcess.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <fcntl.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/DispatchSemaphore.hpp"

#include "tests/process/ProcessTesting.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/TempDir.hpp"

namespace mornik {
namespace {

using Output = ChildProcess::Output;

// "<code>/<signal>", then what else the status says.
std::string describe(const ExitStatus& s) {
  return std::to_string(s.code) + "/" + std::to_string(s.signal) + (s.known ? "" : " unknown") +
         (s.timedOut ? " timed out" : "") +
         (s.error ? " errno " + std::to_string(s.error->code()) : "");
}

// Through both ways to start, with the errno of the step that failed.
TEST(ChildProcess, FailsToStartWithThePathAndTheSystemsReason) {
  const test::TempDir temp;
  const std::string file = temp / "plain";
  std::ofstream(file) << "not a program";
  const std::string gone = temp / "gone";
  const std::string enter = "cannot enter the working directory ";
  const std::string limit = "cannot start /bin/true with a time limit of ";
  struct Case {
    std::string path, workDir, message;
    int code;
    double timeLimit = HUGE_VAL;
  };
  for (const Case& c : std::vector<Case>{
           {"/no/such/tool", "/", "cannot start /no/such/tool: No such file or directory", ENOENT},
           {"no-such-tool", "/", "cannot start no-such-tool: No such file or directory", ENOENT},
           {file, "/", "cannot start " + file + ": Permission denied", EACCES},
           {"/bin/true", gone, enter + gone + " to start /bin/true: No such file or directory",
            ENOENT},
           {"/bin/true", file, enter + file + " to start /bin/true: Not a directory", ENOTDIR},
           {"/bin/true", "/", limit + "0 s: Invalid argument", EINVAL, 0},
           {"/bin/true", "/", limit + "nan s: Invalid argument", EINVAL, NAN},
       }) {
    ChildProcess::Options options;
    options.workDir = c.workDir;
    options.searchPath = true;
    options.timeLimit = c.timeLimit;
    for (const auto& child :
         {ChildProcess::spawn(c.path, {}, options), ChildProcess::runToEnd(c.path, {}, options)}) {
      EXPECT_EQ(child.error().localizedDescription(), c.message);
      EXPECT_TRUE(child.error().is(kPOSIXErrorDomain, c.code)) << c.message;
    }
  }
}

// What every child starts with, its input, its time limit and its end,
// through both ways to run it, in a parent that blocks one signal, ignores
// another and holds 1,000 descriptors without close-on-exec.
TEST(ChildProcess, StartsCleanTakesItsInputKeepsItsTimeLimitAndReportsItsEnd) {
  std::vector<UniqueFd> leaks(1000);  // within the usual limit of 1,024
  for (auto& leak : leaks) leak.reset(::open("/dev/null", O_RDONLY));
  sigset_t blocked{};  // empty
  ASSERT_EQ(sigaddset(&blocked, SIGUSR1) + ::pthread_sigmask(SIG_BLOCK, &blocked, nullptr), 0);
  ::signal(SIGUSR2, SIG_IGN);
  const std::string clean = "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n";
  struct Case {
    std::string program;
    std::vector<std::string> args;
    std::string input, output, status;
    double timeLimit = HUGE_VAL;
  };
  for (const Case& c : std::vector<Case>{
           {"grep", {"^Sig[BI]", "/proc/self/status"}, "", clean, "0/0"},
           {"ls", {"/proc/self/fd"}, "", "0\n1\n2\n3\n", "0/0"},  // 3: ls reading the folder
           {"wc", {"-c"}, std::string(1 << 20, 'x'), "1048576\n", "0/0"},
           {"head", {"-c", "1"}, std::string(1 << 20, 'x'), "x", "0/0"},  // stops reading early
           {"sleep", {"30"}, "", "", "0/15 timed out", 0.2},
           {"sh", {"-c", "trap '' TERM; sleep 30"}, "", "", "0/9 timed out", 0.2},
           {"sh", {"-c", "exit 3"}, "", "", "0/0 unknown errno 10"},  // SIGCHLD ignored: ECHILD
       }) {
    ChildProcess::Options options;
    options.input = ChildProcess::Input::bytes;
    options.inputBytes = c.input;
    options.searchPath = true;
    options.timeLimit = c.timeLimit;
    ::signal(SIGCHLD, c.status.find("unknown") == std::string::npos ? SIG_DFL : SIG_IGN);
    for (const bool blocking : {true, false}) {
      auto child = (blocking ? ChildProcess::runToEnd(c.program, c.args, options)
                             : ChildProcess::spawn(c.program, c.args, options))
                       .value();
      EXPECT_EQ(describe(child->waitUntilExit()), c.status) << c.program;
      std::string output;
      for (const auto& chunk : child->capturedOutput().output) output += chunk;
      EXPECT_EQ(output, c.output) << blocking;
      EXPECT_TRUE(test::waitFor([&] { return test::liveMembers(child->pid()) == 0; }));
      EXPECT_FALSE(test::exists(child->pid())) << "a zombie";
    }
  }
  ::signal(SIGCHLD, SIG_DFL);
}

TEST(ChildProcess, ReportsAnExitCodeOrTheEndingSignal) {
  for (const auto& [script, status] :
       {std::pair("exit 3", "3/0"), std::pair("kill -9 $$", "0/9")}) {
    auto child = ChildProcess::spawn("/bin/sh", {"-c", script}, "/", Output::capture).value();
    EXPECT_EQ(describe(child->waitUntilExit()), status) << script;
    EXPECT_FALSE(child->isRunning());
  }
}

// runToEnd's wait counts as blocked: with every worker of the pool waiting in
// one, work queued behind them still runs (here, the work that lets the
// children end).
TEST(ChildProcess, RunToEndOnEveryWorkerLeavesRoomForQueuedWork) {
  const test::TempDir temp;
  const std::string gate = temp / "gate";
  const std::string script = "while [ ! -e '" + gate + "' ]; do sleep 0.01; done";
  const int waiters = static_cast<int>(std::max(1U, std::thread::hardware_concurrency())) + 1;
  DispatchSemaphore ended;
  for (int i = 0; i < waiters; ++i) {
    DispatchQueue::global().async([&] {
      EXPECT_TRUE(ChildProcess::runToEnd("/bin/sh", {"-c", script}, "/").isSuccess());
      ended.signal();
    });
  }
  DispatchSemaphore opened;
  DispatchQueue::global().async([&] {
    std::ofstream{gate};
    opened.signal();
  });
  const bool ran = opened.wait(test::kEventTimeout);
  if (!ran) std::ofstream{gate};  // the children end all the same
  EXPECT_TRUE(ran);
  for (int i = 0; i < waiters; ++i) EXPECT_TRUE(ended.wait(test::kEventTimeout));
}

}  // namespace
}  // namespace mornik
