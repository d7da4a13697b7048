// The log file's promises (a line whose log() returned survives a crash,
// processes never mix within a line, moved files and rotation) and the
// real journal.

#include <atomic>
#include <chrono>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "mornik/log/BasicLogger.hpp"
#include "mornik/platform/Journal.hpp"

#include "tests/support/Child.hpp"
#include "tests/support/Concurrently.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"
#include "tests/support/TempDir.hpp"

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace mornik {
namespace {

using test::readFile;

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Starts `args` with standard output into a pipe (read end returned).
pid_t spawn(std::vector<std::string> args, int* output = nullptr) {
  int fds[2] = {-1, -1};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (output != nullptr) {
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  }
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  EXPECT_EQ(::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  if (output != nullptr) {
    ::close(fds[1]);
    *output = fds[0];
  }
  return pid;
}

int waitExit(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::atomic<std::int64_t> clockSeconds{1796638272};  // 2026-12-07 10:11:12 UTC
std::chrono::system_clock::time_point testClock() {
  return std::chrono::system_clock::from_time_t(clockSeconds.load());
}

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);  // NOLINT(concurrency-mt-unsafe): before the logger's threads
    ::tzset();                 // NOLINT(concurrency-mt-unsafe)
    JournalSink::setShared(std::make_shared<MemoryJournal>());
    useFile(path_);
  }
  void TearDown() override {
    BasicLogger::setWriteLogToFile(false);
    BasicLogger::setRotation({});
    BasicLogger::setLogFilters({});
    BasicLogger::setClock(nullptr);
    JournalSink::setShared(nullptr);
  }
  static void useFile(const std::filesystem::path& path) {
    BasicLogger::setLogFileUrl(URL::fileURL(path.string()));
    BasicLogger::setWriteLogToFile(true);
  }

  test::TempDir dir_;
  std::filesystem::path path_ = dir_.path() / "LogFile.txt";
};

TEST_F(LogFileTest, FileDeletedOrMovedWhileOpenStartsAgain) {
  BasicLogger::log("A", "first");
  for (const bool deleteIt : {true, false, true}) {
    if (deleteIt) {
      std::filesystem::remove(path_);
    } else {
      std::filesystem::rename(path_, dir_.path() / "old.txt");
    }
    // The move is noticed on the watcher's thread; lines meanwhile may go
    // to the old file.
    ASSERT_TRUE(test::waitFor([&] {
      BasicLogger::log("A", "again");
      return std::filesystem::exists(path_);
    }));
    EXPECT_EQ(linesOf(readFile(path_)).front(), "");
    BasicLogger::log("A", "last");
    EXPECT_TRUE(readFile(path_).ends_with("[A]: last\n"));
  }
}

TEST_F(LogFileTest, FolderFifoOrUnwritablePlaceIsSkippedAndTheNextUrlWorks) {
  ASSERT_EQ(::mkfifo((dir_.path() / "fifo").c_str(), 0600), 0);
  test::writeFile(dir_.path() / "plain", "x");
  for (const auto* bad : {"", "fifo", "plain/below/LogFile.txt"}) {
    SCOPED_TRACE(bad);
    useFile(dir_.path() / bad);
    BasicLogger::log("A", "lost");  // must neither block nor fail
    useFile(path_);
    BasicLogger::log("A", "kept");
  }
  const auto lines = linesOf(readFile(path_));
  ASSERT_EQ(lines.size(), 4U);
  EXPECT_EQ(lines[0], "");
  for (int i = 1; i < 4; ++i) EXPECT_TRUE(lines[i].ends_with(" [A]: kept"));
  EXPECT_EQ(readFile(dir_.path() / "plain"), "x");
}

TEST_F(LogFileTest, RotationBySizeAndByDayKeepsTheNewest) {
  BasicLogger::setClock(&testClock);
  BasicLogger::setRotation({.maxBytes = 100, .daily = false, .keep = 2});
  // Each line is 12 + 1 + 40 + 1 bytes: one line and the first empty line
  // fit 100 bytes, a second line does not.
  const std::string msg(34, 'x');
  for (int i = 0; i < 4; ++i) BasicLogger::log("A", msg);
  EXPECT_EQ(test::entriesOf(dir_.path()),
            (std::set<std::string>{"LogFile.txt", "LogFile-2026-12-07-002.txt",
                                   "LogFile-2026-12-07-003.txt"}));
  EXPECT_EQ(linesOf(readFile(path_)).size(), 2U);

  BasicLogger::setRotation({.maxBytes = 0, .daily = true, .keep = 2});
  BasicLogger::log("A", "same day");
  EXPECT_EQ(test::entriesOf(dir_.path()).size(), 3U);
  clockSeconds += 86400;
  BasicLogger::log("A", "next day");
  clockSeconds -= 86400;
  EXPECT_EQ(test::entriesOf(dir_.path()),
            (std::set<std::string>{"LogFile.txt", "LogFile-2026-12-07-003.txt",
                                   "LogFile-2026-12-07-004.txt"}));
  EXPECT_EQ(readFile(path_), "\n10:11:12.000 [A]: next day\n");
}

TEST_F(LogFileTest, EveryLineWhoseLogReturnedSurvivesSigkill) {
  for (int round = 0; round < 2; ++round) {
    int output = -1;
    const pid_t child = spawn({MORNIK_LOG_CHILD, "loop", path_.string(), "K"}, &output);
    long last = -1;
    for (std::string line; last < 200 * (round + 1);) {
      line = test::readLine(output);
      ASSERT_FALSE(line.empty());
      last = std::stol(line);
    }
    ::kill(child, SIGKILL);
    ::close(output);
    waitExit(child);
    // Lines 0..last are all there, whole and in order (across rounds, the
    // numbering starts again after the earlier round's lines).
    const std::regex whole(R"(\d\d:\d\d:\d\d\.\d{3} \[K\]: line (\d+)\.{40})");
    long expected = 0;
    long seen = -1;
    for (const std::string& line : linesOf(readFile(path_))) {
      if (line.empty()) continue;
      std::smatch match;
      ASSERT_TRUE(std::regex_match(line, match, whole)) << line;
      const long number = std::stol(match[1]);
      if (number == 0) expected = 0;
      ASSERT_EQ(number, expected++);
      seen = number;
    }
    EXPECT_GE(seen, last);
  }
}

TEST_F(LogFileTest, TwoProcessesOnOneFileNeverMixWithinALine) {
  const int count = test::scaled(20000);
  const pid_t a = spawn({MORNIK_LOG_CHILD, "count", path_.string(), "a", std::to_string(count)});
  const pid_t b = spawn({MORNIK_LOG_CHILD, "count", path_.string(), "b", std::to_string(count)});
  ASSERT_EQ(waitExit(a), 0);
  ASSERT_EQ(waitExit(b), 0);
  std::map<char, int> lines;
  const std::regex whole(R"(\d\d:\d\d:\d\d\.\d{3} \[([ab])\]: ([ab])\2{199})");
  for (const std::string& line : linesOf(readFile(path_))) {
    if (line.empty()) continue;
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, whole)) << line.substr(0, 80);
    ASSERT_EQ(match[1], match[2]);
    ++lines[match[1].str()[0]];
  }
  EXPECT_EQ(lines, (std::map<char, int>{{'a', count}, {'b', count}}));
}

TEST_F(LogFileTest, ThreadsLogWhileFiltersChange) {
  const int perThread = test::scaled(2000);
  std::atomic<bool> done{false};
  std::thread changer([&] {
    for (int i = 0; !done.load(); ++i) {
      BasicLogger::setLogFilters(i % 2 == 0 ? std::vector<std::string>{"A", "B"}
                                            : std::vector<std::string>{"A"});
    }
  });
  test::runConcurrently(8, [&](int thread) {
    for (int i = 0; i < perThread; ++i) {
      BasicLogger::log("A", std::to_string(thread));
      BasicLogger::log("B", std::to_string(thread));
    }
  });
  done = true;
  changer.join();
  int a = 0;
  for (const std::string& line : linesOf(readFile(path_))) {
    if (line.find("[A]: ") != std::string::npos) ++a;
  }
  EXPECT_EQ(a, 8 * perThread);
}

TEST(Journal, RealJournaldGetsTheFields) {
  const auto out = test::TempDir();
  const std::string json = (out.path() / "journal.json").string();
  const pid_t child = spawn({"/usr/bin/unshare", "--mount", "--propagation", "private",
                             MORNIK_WITH_JOURNALD, json, MORNIK_LOG_CHILD, "journal"});
  const int status = waitExit(child);
  if (status == 77 || status == 1) GTEST_SKIP() << "no private mount namespace or journald here";
  ASSERT_EQ(status, 0);
  std::vector<nlohmann::json> ours;
  for (const std::string& line : linesOf(readFile(json))) {
    auto entry = nlohmann::json::parse(line);
    if (entry.value("SYSLOG_IDENTIFIER", "") == "org.example.logchild") ours.push_back(entry);
  }
  ASSERT_EQ(ours.size(), 3U);
  EXPECT_EQ(ours[0]["MESSAGE"], "[Net]: two\nlines and \xEF\xBF\xBD bad");
  EXPECT_EQ(ours[0]["PRIORITY"], "5");
  EXPECT_EQ(ours[0]["MORNIK_TITLE"], "Net");
  EXPECT_FALSE(ours[0].value("THREAD", "").empty());
  EXPECT_EQ(ours[1]["MESSAGE"], "[Net ERROR] boom");
  EXPECT_EQ(ours[1]["PRIORITY"], "3");
  EXPECT_EQ(ours[2]["MESSAGE"], "[Fetcher+eu-1]: file:a.cpp|line:7|func:f|Msg: m");
  EXPECT_EQ(ours[2]["CODE_FILE"], "a.cpp");
  EXPECT_EQ(ours[2]["CODE_LINE"], "7");
  EXPECT_EQ(ours[2]["CODE_FUNC"], "f");
}

}  // namespace
}  // namespace mornik
