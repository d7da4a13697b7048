// The log file's promises (a line whose log() returned survives a crash,
// processes never mix within a line, moved files, rotation) and the real
// journal. LogChild is the second process.

#include <atomic>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "mornik/log/BasicLogger.hpp"
#include "mornik/platform/Journal.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"
#include "tests/support/TempDir.hpp"

namespace mornik {
namespace {

std::vector<std::string> linesOf(const std::filesystem::path& file) {
  std::vector<std::string> lines;
  std::istringstream in(test::readFile(file));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}
// Runs a shell command to its end; its exit status.
int run(const std::string& command) {
  const int status = std::system(command.c_str());  // NOLINT(concurrency-mt-unsafe)
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
const std::string kChild = MORNIK_LOG_CHILD;

std::int64_t clockSeconds = 1796638272;  // 2026-12-07 10:11:12 UTC, read by the test's thread
std::chrono::system_clock::time_point testClock() {
  return std::chrono::system_clock::from_time_t(clockSeconds);
}

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);  // NOLINT(concurrency-mt-unsafe): before the logger's threads
    ::tzset();                 // NOLINT(concurrency-mt-unsafe)
    JournalSink::setShared(std::make_shared<MemoryJournal>());
    use(path_);
  }
  void TearDown() override {
    BasicLogger::setWriteLogToFile(false);
    BasicLogger::setRotation({});
    BasicLogger::setClock(nullptr);
    JournalSink::setShared(nullptr);
  }
  static void use(const std::filesystem::path& path) {
    BasicLogger::setLogFileUrl(URL::fileURL(path.string()));
    BasicLogger::setWriteLogToFile(true);
  }
  test::TempDir dir_;
  std::filesystem::path path_ = dir_.path() / "LogFile.txt";
};

TEST_F(LogFileTest, FileDeletedOrMovedWhileOpenStartsAgain) {
  BasicLogger::log("A", "first");
  for (const bool deleteIt : {true, false, true}) {
    if (deleteIt) std::filesystem::remove(path_);
    if (!deleteIt) std::filesystem::rename(path_, dir_.path() / "old.txt");
    // Noticed on the watcher's thread: lines meanwhile may go to the old file.
    ASSERT_TRUE(test::waitFor([&] {
      BasicLogger::log("A", "again");
      return std::filesystem::exists(path_);
    }));
    BasicLogger::log("A", "last");
    EXPECT_EQ(linesOf(path_).front(), "");
    EXPECT_TRUE(test::readFile(path_).ends_with("[A]: last\n"));
  }
}

TEST_F(LogFileTest, FolderFifoOrUnwritablePlaceIsSkippedAndTheNextUrlWorks) {
  ASSERT_EQ(::mkfifo((dir_.path() / "fifo").c_str(), 0600), 0);
  for (const auto* bad : {"", "fifo", "LogFile.txt/below/LogFile.txt"}) {
    use(dir_.path() / bad);
    BasicLogger::log("A", "lost");  // neither blocks nor fails
    use(path_);
    BasicLogger::log("A", "kept");
  }
  EXPECT_EQ(linesOf(path_).size(), 4U);
}

TEST_F(LogFileTest, RotationBySizeAndByDayKeepsTheNewest) {
  BasicLogger::setClock(&testClock);
  // A line is 54 bytes: the first empty line and one line fit in 100.
  BasicLogger::setRotation({.maxBytes = 100, .daily = false, .keep = 2});
  for (int i = 0; i < 4; ++i) BasicLogger::log("A", std::string(34, 'x'));
  const std::string day = "LogFile-2026-12-07-";
  EXPECT_EQ(test::entriesOf(dir_.path()),
            (std::set<std::string>{"LogFile.txt", day + "002.txt", day + "003.txt"}));
  BasicLogger::setRotation({.maxBytes = 0, .daily = true, .keep = 2});
  BasicLogger::log("A", "same day");
  clockSeconds += 86400;
  BasicLogger::log("A", "next day");
  EXPECT_EQ(test::entriesOf(dir_.path()),
            (std::set<std::string>{"LogFile.txt", day + "003.txt", day + "004.txt"}));
  EXPECT_EQ(test::readFile(path_), "\n10:11:12.000 [A]: next day\n");
}

TEST_F(LogFileTest, EveryLineWhoseLogReturnedSurvivesSigkillTwice) {
  const std::regex whole(R"(\d\d:\d\d:\d\d\.\d{3} \[K\]: line (\d+)\.{200})");
  for (int round = 1; round <= 2; ++round) {
    // The child prints its pid, then each number whose log() has returned.
    FILE* child = ::popen(("echo $$; exec " + kChild + " " + path_.string() + " K").c_str(), "r");
    ASSERT_NE(child, nullptr);
    long pid = 0;
    long last = -1;
    ASSERT_EQ(std::fscanf(child, "%ld", &pid), 1);
    while (last < 200 && std::fscanf(child, "%ld", &last) == 1) {
    }
    ::kill(static_cast<pid_t>(pid), SIGKILL);
    ::pclose(child);
    long next = 0;
    for (const std::string& line : linesOf(path_)) {
      std::smatch match;
      if (line.empty()) continue;
      ASSERT_TRUE(std::regex_match(line, match, whole)) << line;
      const long number = std::stol(match[1]);
      ASSERT_EQ(number, number == 0 ? 0 : next);  // each round numbers from 0
      next = number + 1;
    }
    EXPECT_GT(next, last);
  }
}

TEST_F(LogFileTest, TwoProcessesOnOneFileNeverMixWithinALine) {
  const int n = test::scaled(20000);
  const std::string each = kChild + " " + path_.string() + " ";
  const std::string tail = " " + std::to_string(n) + " >/dev/null";
  ASSERT_EQ(run(each + "a" + tail + " & " + each + "b" + tail + "; wait $!; wait"), 0);
  std::map<std::string, int> counts;
  const std::regex whole(R"(\d\d:\d\d:\d\d\.\d{3} \[([ab])\]: line \d+\.{200})");
  for (const std::string& line : linesOf(path_)) {
    std::smatch match;
    ASSERT_TRUE(line.empty() || std::regex_match(line, match, whole)) << line;
    if (!line.empty()) ++counts[match[1]];
  }
  EXPECT_EQ(counts, (std::map<std::string, int>{{"a", n}, {"b", n}}));
}

TEST_F(LogFileTest, EightThreadsLogWhileFiltersChange) {
  const int perThread = test::scaled(2000);
  std::atomic<bool> done{false};
  std::thread changer([&] {
    for (int i = 0; !done; ++i) {
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
  BasicLogger::setLogFilters({});
  const auto lines = linesOf(path_);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.find("[A]: ") != l.npos; }),
            8 * perThread);
}

TEST(Journal, RealJournaldGetsTheFields) {
  const test::TempDir out;
  const auto json = out.path() / "journal.json";
  const int status = run("unshare --mount --propagation private " MORNIK_WITH_JOURNALD " " +
                         json.string() + " " + kChild + " journal >/dev/null");
  if (status == 77 || status == 1) GTEST_SKIP() << "no private mount namespace or journald here";
  ASSERT_EQ(status, 0);
  std::vector<nlohmann::json> ours;
  for (const std::string& line : linesOf(json)) {
    auto entry = nlohmann::json::parse(line);
    if (entry.value("SYSLOG_IDENTIFIER", "") == "org.example.logchild") ours.push_back(entry);
  }
  ASSERT_EQ(ours.size(), 3U);
  const std::vector<std::map<std::string, std::string>> expected = {
      {{"MESSAGE", "[Net]: two\nlines and \xEF\xBF\xBD bad"},
       {"PRIORITY", "5"},
       {"MORNIK_TITLE", "Net"},
       {"THREAD", "mornik.main"}},
      {{"MESSAGE", "[Net ERROR] boom"}, {"PRIORITY", "3"}},
      {{"CODE_FILE", "a.cpp"}, {"CODE_LINE", "7"}, {"CODE_FUNC", "f"}}};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    for (const auto& [name, value] : expected[i]) EXPECT_EQ(ours[i].value(name, ""), value) << name;
  }
}

}  // namespace
}  // namespace mornik
