#include "mornik/log/BasicLogger.hpp"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/base/Output.hpp"
#include "mornik/concurrency/DispatchQueueID.hpp"
#include "mornik/log/AppLogger.hpp"
#include "mornik/platform/Journal.hpp"

#include "tests/support/TempDir.hpp"

namespace mornik {
namespace {

using test::readFile;

// 10:11:12.345 UTC on 2026-12-07.
std::chrono::system_clock::time_point fixedTime() {
  return std::chrono::system_clock::from_time_t(1796638272) + std::chrono::milliseconds(345);
}

const std::string kSep(56, '#');
const std::string kGlyph = "\xF4\x80\x86\x94";

struct T final : AppLogger {};
struct Fetcher final : LoggerID {
  std::string loggerId() const override { return "eu-1"; }
};

// Each test logs into a fresh folder, a memory journal and a recorded
// standard output, at a fixed time in UTC.
class BasicLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);  // NOLINT(concurrency-mt-unsafe): before the logger's threads
    ::tzset();                 // NOLINT(concurrency-mt-unsafe)
    BasicLogger::setClock(&fixedTime);
    JournalSink::setShared(journal_);
    setOutputSink([this](std::string_view line) { output_.emplace_back(line); });
    BasicLogger::setLogFileUrl(URL::fileURL((dir_.path() / "logs/LogFile.txt").string()));
  }
  void TearDown() override {
    BasicLogger::setWriteLogToFile(false);
    BasicLogger::setLogFilters({});
    BasicLogger::setOnError(nullptr);
    BasicLogger::setClock(nullptr);
    JournalSink::setShared(nullptr);
    setOutputSink(nullptr);
  }
  std::vector<std::string> messages() const {
    std::vector<std::string> lines;
    for (const auto& entry : journal_->entries()) lines.push_back(journalField(entry, "MESSAGE"));
    return lines;
  }
  std::string file() const { return readFile(dir_.path() / "logs/LogFile.txt"); }

  test::TempDir dir_;
  std::shared_ptr<MemoryJournal> journal_ = std::make_shared<MemoryJournal>();
  std::vector<std::string> output_;
};

TEST_F(BasicLoggerTest, LinesFiltersErrorsAndFileInOneTable) {
  const std::string thread = Thread::dbgName();
  struct Case {
    const char* name;
    std::vector<std::string> filters;
    bool toFile;
    std::function<void()> log;
    std::vector<std::string> journal;
    std::string file;  // whole file; "-" when it must not exist
    int separators;    // lines on standard output
    int onErrorCalls;
  };
  const Error boom = WTF("boom", 0);
  const std::vector<Case> cases = {
      {"message",
       {},
       true,
       [] { BasicLogger::log("Net", "hi"); },
       {"[Net]: hi"},
       "\n10:11:12.345 [Net]: hi\n",
       0,
       0},
      {"message with thread",
       {},
       false,
       [] { BasicLogger::log("Net", "hi", true); },
       {"[Net]: hi " + kGlyph + thread},
       "-",
       0,
       0},
      {"filter is exact",
       {"Net"},
       true,
       [] { BasicLogger::log("net", "a"), BasicLogger::log("Net", "b"); },
       {"[Net]: b"},
       "\n10:11:12.345 [Net]: b\n",
       0,
       0},
      {"error",
       {},
       true,
       [&] { BasicLogger::log("IO", boom); },
       {"[IO ERROR] boom"},
       "\n" + kSep + "\n10:11:12.345 [IO ERROR] boom\n" + kSep + "\n",
       2,
       1},
      {"error with thread",
       {},
       true,
       [&] { BasicLogger::log("IO", boom, true); },
       {"\n[IO ERROR] (" + thread + ") boom"},
       "\n" + kSep + "\n10:11:12.345 \n[IO ERROR] (" + thread + ") boom\n" + kSep + "\n",
       2,
       1},
      {"filtered error still reaches onError",
       {"Net"},
       true,
       [&] { BasicLogger::log("IO", boom); },
       {},
       "-",
       0,
       1},
      {"no file while writing is off",
       {},
       false,
       [] { BasicLogger::log("Net", "hi"); },
       {"[Net]: hi"},
       "-",
       0,
       0},
      {"type title", {}, false, [] { T().log("m"); }, {"[T]: m"}, "-", 0, 0},
      {"title and message of an AppLogger",
       {},
       false,
       [] { T().log("A", "m"); },
       {"[A]: m"},
       "-",
       0,
       0},
      {"logAdvanced",
       {},
       false,
       [] { T().logAdvanced("m", false, "a", 7, "f"); },
       {"[T]: file:a|line:7|func:f|Msg: m"},
       "-",
       0,
       0},
      {"logAdvanced with id",
       {},
       false,
       [] { Fetcher().logAdvanced("m", false, "a", 7, "f"); },
       {"[Fetcher+eu-1]: file:a|line:7|func:f|Msg: m"},
       "-",
       0,
       0},
      {"error with id, message without",
       {},
       false,
       [&] { Fetcher().log(boom), Fetcher().log("m"); },
       {"[Fetcher+eu-1 ERROR] boom", "[Fetcher]: m"},
       "-",
       2,
       1},
      {"bad UTF-8: the journal gets U+FFFD, the file the bytes",
       {},
       true,
       [] { BasicLogger::log("Net", "a\xFF\nb"); },
       {"[Net]: a\xEF\xBF\xBD\nb"},
       "\n10:11:12.345 [Net]: a\xFF\nb\n",
       0,
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    int onErrorCalls = 0;
    BasicLogger::setOnError([&](std::string_view, const Error&) { ++onErrorCalls; });
    BasicLogger::setLogFilters(c.filters);
    BasicLogger::setWriteLogToFile(c.toFile);
    c.log();
    EXPECT_EQ(messages(), c.journal);
    if (c.file == "-") {
      EXPECT_FALSE(std::filesystem::exists(dir_.path() / "logs"));
    } else {
      EXPECT_EQ(file(), c.file);
    }
    EXPECT_EQ(output_, std::vector<std::string>(static_cast<std::size_t>(c.separators), kSep));
    EXPECT_EQ(onErrorCalls, c.onErrorCalls);
    TearDown();
    std::filesystem::remove_all(dir_.path() / "logs");
    journal_ = std::make_shared<MemoryJournal>();
    output_.clear();
  }
}

TEST_F(BasicLoggerTest, JournalFieldsOfAnAdvancedLine) {
  Fetcher().logAdvanced("m", true, "a.cpp", 7, "f");
  BasicLogger::log("IO", WTF("boom", 0));
  const auto entries = journal_->entries();
  ASSERT_EQ(entries.size(), 2U);
  EXPECT_EQ(journalField(entries[0], "PRIORITY"), "5");
  EXPECT_EQ(journalField(entries[0], "MORNIK_TITLE"), "Fetcher+eu-1");
  EXPECT_EQ(journalField(entries[0], "THREAD"), Thread::dbgName());
  EXPECT_EQ(journalField(entries[0], "CODE_FILE"), "a.cpp");
  EXPECT_EQ(journalField(entries[0], "CODE_LINE"), "7");
  EXPECT_EQ(journalField(entries[0], "CODE_FUNC"), "f");
  EXPECT_FALSE(journalField(entries[0], "SYSLOG_IDENTIFIER").empty());
  EXPECT_EQ(journalField(entries[1], "PRIORITY"), "3");
  EXPECT_EQ(journalField(entries[1], "CODE_FILE"), "");
}

TEST_F(BasicLoggerTest, DefaultsAndTimestamp) {
  TearDown();
  EXPECT_EQ(BasicLogger::logFilters(), std::vector<std::string>{});
  EXPECT_FALSE(BasicLogger::writeLogToFile());
  EXPECT_EQ(BasicLogger::rotation(), LogRotation{});
  BasicLogger::setClock(&fixedTime);
  EXPECT_EQ(BasicLogger::timestamp(), "10:11:12.345");
  BasicLogger::setClock(nullptr);
  EXPECT_EQ(BasicLogger::timestamp().size(), 12U);
}

}  // namespace
}  // namespace mornik
