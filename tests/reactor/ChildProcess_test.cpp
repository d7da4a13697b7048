#include "mornik/reactor/ChildProcess.hpp"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/DispatchSemaphore.hpp"

#include "tests/support/RunLoopWait.hpp"
#include "tests/support/TempDir.hpp"

namespace mornik {
namespace {

using Output = ChildProcess::Output;

TEST(ChildProcess, FailsToStartWithThePathAndTheSystemsReason) {
  const test::TempDir temp;
  const std::string file = temp / "plain";
  std::ofstream(file) << "not a program";
  const std::string gone = temp / "gone";
  const std::string enter = "cannot enter the working directory ";
  struct Case {
    std::string path, workDir, message;
    int code;
  };
  for (const Case& c : std::vector<Case>{
           {"/no/such/tool", "/", "cannot start /no/such/tool: No such file or directory", ENOENT},
           {file, "/", "cannot start " + file + ": Permission denied", EACCES},
           {"/bin/true", gone, enter + gone + " to start /bin/true: No such file or directory",
            ENOENT},
           {"/bin/true", file, enter + file + " to start /bin/true: Not a directory", ENOTDIR},
       }) {
    const auto child = ChildProcess::spawn(c.path, {}, c.workDir, Output::capture);
    EXPECT_EQ(child.error().localizedDescription(), c.message);
    EXPECT_TRUE(child.error().is(kPOSIXErrorDomain, c.code)) << c.message;
  }
}

ExitStatus ended(int code, int signal = 0) {
  ExitStatus status;
  status.code = code;
  status.signal = signal;
  return status;
}

TEST(ChildProcess, ReportsAnExitCodeOrTheEndingSignal) {
  for (const auto& [script, status] :
       {std::pair("exit 3", ended(3)), std::pair("kill -9 $$", ended(0, 9))}) {
    auto child = ChildProcess::spawn("/bin/sh", {"-c", script}, "/", Output::capture).value();
    EXPECT_EQ(child->waitUntilExit(), status) << script;
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
