#include "mornik/process/AuxShell.hpp"

#include <csignal>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/process/Shell.hpp"

#include "tests/process/ProcessTesting.hpp"
#include "tests/support/Concurrently.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik::Aux {
namespace {

const Shell kChild(test::kProcessChild, asURLdir("/"));

// run2 trims blanks and tabs of each chunk and fails on any error output;
// run3 fails only on a non-zero exit with errors other than xcrun ones.
TEST(AuxShell, Run2AndRun3DecideFailureFromTheErrorOutput) {
  EXPECT_EQ(kChild.run2({"chunks", "o:  hello \t", "o:\tworld\n "}).value(), "helloworld\n");
  EXPECT_EQ(kChild.run2({"chunks", "o:fine", "e: careful \n", "e:again"}),
            Result<std::string>(WTF("careful \nagain", 0)));
  const struct {
    std::vector<std::string> args;
    Result<std::string> expected;
  } cases[] = {
      {{"chunks", "o: out ", "e:warning", "x:0"}, std::string(" out ")},
      {{"chunks", "o:out", "e:xcrun: error: no tool", "x:1"}, std::string("out")},
      {{"chunks", "e:one", "e:xcrun: error", "e:two", "x:1"}, WTF("one\n\ntwo", 0)},
      {{"chunks", "o:\xFF", "o:ok", "x:0"}, std::string("ok")},
  };
  for (const auto& c : cases) EXPECT_EQ(kChild.run3(c.args), c.expected) << c.args[1];
}

// Arguments pass unchanged, the child runs in the working directory, every
// entry point reports a child that cannot start, and a run returns when the
// child ends though a process it started still holds the pipes.
TEST(AuxShell, ArgumentsWorkingDirectoryStartFailuresAndLeftoverWriters) {
  EXPECT_EQ(Shell("/usr/bin/printf", asURLdir("/"))
                .run3({"<%s>", "a b", "\"q\" 'r'", "x\ny", ""})
                .value(),
            "<a b><\"q\" 'r'><x\ny><>");
  EXPECT_EQ(Shell("/bin/pwd", asURLdir("/usr/lib")).run3().value(), "/usr/lib\n");
  const Shell missing("/bin/true", asURLdir("/no/dir"));
  const Error expected =
      Error::fromErrno(ENOENT, "cannot enter the working directory /no/dir to start /bin/true");
  EXPECT_EQ(missing.run({}, true).error(), expected);
  EXPECT_EQ(missing.run2().error(), expected);
  EXPECT_EQ(missing.run3().error(), expected);
  const auto started = Shell("/bin/sh", asURLdir("/")).run2({"-c", "sleep 1000 & echo $!"});
  ASSERT_TRUE(started.isSuccess());
  ::kill(std::stoi(started.value()), SIGKILL);
}

// Floods of both streams at once, or of one after closing the other: a
// hang fails by the test's timeout.
TEST(AuxShell, FloodsCompleteThroughEveryEntryPoint) {
  constexpr long kMiB = test::scaled(10) * 1024 * 1024 / 10;  // a tenth under ThreadSanitizer
  for (const auto& [out, err] :
       {std::pair(64 * kMiB, 64 * kMiB), std::pair(8 * kMiB, 0L), std::pair(0L, 8 * kMiB)}) {
    // Streams without bytes are closed first; the others are written at once.
    std::string script;
    for (const auto& [bytes, fd] : {std::pair(out, "1"), std::pair(err, "2")}) {
      if (bytes == 0) script = std::string("exec ") + fd + ">&-; " + script;
      if (bytes > 0) script += "head -c " + std::to_string(bytes) + " /dev/zero >&" + fd + " & ";
    }
    const std::vector<std::string> args{"-c", script + "wait"};
    const Shell sh("/bin/sh", asURLdir("/"));
    const std::string outText(static_cast<std::size_t>(out), '\0');
    const Result<std::string> trimmed = err > 0
                                            ? Result<std::string>(WTF(std::string(err, '\0'), 0))
                                            : Result<std::string>(outText);
    // (Compared as flags: megabytes of text are no use in a failure message.)
    EXPECT_TRUE(sh.run2(args) == trimmed);
    EXPECT_TRUE(sh.run3(args) == Result<std::string>(outText));
    EXPECT_TRUE(outputAsString(*sh.run(args, false).value()) == trimmed);

    test::PrintedLines swallowed;
    auto streamed = Flow::Shell::make("/bin/sh", asURLdir("/"));
    streamed->run(args);
    EXPECT_TRUE(streamed->stdEOF()->wait().isSuccess() && streamed->errEOF()->wait().isSuccess());
  }
}

TEST(AuxShell, ConcurrentRunsKeepTheirOwnOutput) {
  test::runConcurrently(8, [](int t) {
    for (int i = 0; i < 5; ++i) {
      const std::string word = std::to_string(t) + "." + std::to_string(i);
      EXPECT_EQ(Shell("/bin/echo", asURLdir("/")).run2({word}).value(), word + "\n");
    }
  });
}

}  // namespace
}  // namespace mornik::Aux
