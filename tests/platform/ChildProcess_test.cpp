#include "mornik/platform/ChildProcess.hpp"

#include <cerrno>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/process/ProcessTesting.hpp"
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
  struct Case {
    std::string path, workDir, message;
    int code;
  };
  for (const Case& c : std::vector<Case>{
           {"/no/such/tool", "/", "cannot start /no/such/tool: No such file or directory", ENOENT},
           {file, "/", "cannot start " + file + ": Permission denied", EACCES},
           {"/bin/true", gone,
            "cannot enter the working directory " + gone +
                " to start /bin/true: No such file or "
                "directory",
            ENOENT},
           {"/bin/true", file,
            "cannot enter the working directory " + file + " to start /bin/true: Not a directory",
            ENOTDIR},
       }) {
    auto child = ChildProcess::spawn(c.path, {}, c.workDir, Output::capture);
    ASSERT_TRUE(child.isFailure()) << c.message;
    EXPECT_EQ(child.error().localizedDescription(), c.message);
    EXPECT_TRUE(child.error().is(kPOSIXErrorDomain, c.code)) << c.message;
  }
}

TEST(ChildProcess, ReportsAnExitCodeOrTheEndingSignal) {
  struct Case {
    const char* script;
    ExitStatus status;
  };
  for (const Case& c : {Case{"exit 3", {3, 0, true}}, Case{"kill -9 $$", {0, 9, true}}}) {
    auto child = ChildProcess::spawn("/bin/sh", {"-c", c.script}, "/", Output::capture);
    ASSERT_TRUE(child.isSuccess());
    EXPECT_EQ(child.value()->waitUntilExit(), c.status) << c.script;
    EXPECT_FALSE(child.value()->isRunning());
  }
}

TEST(ChildProcess, IsReapedWhenNobodyHoldsIt) {
  auto child = ChildProcess::spawn("/bin/true", {}, "", Output::pipes);
  ASSERT_TRUE(child.isSuccess());
  const pid_t pid = child.value()->pid();
  child = WTF("released", 0);
  EXPECT_TRUE(test::waitFor([&] { return !test::exists(pid); }));
}

TEST(ChildProcess, TerminateEndsEveryProcessOfTheGroupEvenThoseIgnoringSIGTERM) {
  auto child = ChildProcess::spawn("/bin/sh", {"-c", "trap '' TERM; sleep 1000 & wait"}, "/",
                                   Output::capture);
  ASSERT_TRUE(child.isSuccess());
  const pid_t group = child.value()->pid();
  ASSERT_TRUE(test::waitFor([&] { return test::liveMembers(group) == 2; }));
  child.value()->terminate(0.2);
  EXPECT_EQ(child.value()->waitUntilExit().signal, SIGKILL);
  EXPECT_TRUE(test::waitFor([&] { return test::liveMembers(group) == 0; }));
}

}  // namespace
}  // namespace mornik
