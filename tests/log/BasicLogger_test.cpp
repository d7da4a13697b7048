#include "mornik/log/BasicLogger.hpp"

#include <functional>

#include <gtest/gtest.h>

#include "mornik/base/Output.hpp"
#include "mornik/concurrency/DispatchQueueID.hpp"
#include "mornik/log/AppLogger.hpp"
#include "mornik/platform/Journal.hpp"

#include "tests/support/TempDir.hpp"

namespace mornik {
namespace {

std::chrono::system_clock::time_point fixedTime() {  // 10:11:12.345 UTC
  return std::chrono::system_clock::from_time_t(1796638272) + std::chrono::milliseconds(345);
}
struct T final : AppLogger {};
struct Fetcher final : LoggerID {
  std::string loggerId() const override { return "eu-1"; }
};

TEST(BasicLogger, LinesFiltersErrorsAndFileInOneTable) {
  ::setenv("TZ", "UTC", 1);  // NOLINT(concurrency-mt-unsafe): before the logger's threads
  ::tzset();                 // NOLINT(concurrency-mt-unsafe)
  BasicLogger::setClock(&fixedTime);
  const std::string sep(56, '#');
  const std::string th = Thread::dbgName();
  const std::string ts = "10:11:12.345 ";
  const Error boom = WTF("boom", 0);
  struct Case {
    std::vector<std::string> filters;
    bool toFile;
    std::function<void()> log;
    std::vector<std::string> journal;
    std::string file{};  // "-" or empty: no file, no folder
    int separators = 0;  // on standard output
    int onErrors = 0;
  };
  const std::vector<Case> cases = {
      {{}, true, [] { BasicLogger::log("Net", "hi"); }, {"[Net]: hi"}, "\n" + ts + "[Net]: hi\n"},
      {{}, false, [] { BasicLogger::log("Net", "hi", true); }, {"[Net]: hi \xF4\x80\x86\x94" + th}},
      {{"Net"},
       true,
       [] { BasicLogger::log("net", "a"), BasicLogger::log("Net", "b"); },
       {"[Net]: b"},
       "\n" + ts + "[Net]: b\n"},
      {{},
       true,
       [&] { BasicLogger::log("IO", boom); },
       {"[IO ERROR] boom"},
       "\n" + sep + "\n" + ts + "[IO ERROR] boom\n" + sep + "\n",
       2,
       1},
      {{},
       true,
       [&] { BasicLogger::log("IO", boom, true); },
       {"\n[IO ERROR] (" + th + ") boom"},
       "\n" + sep + "\n" + ts + "\n[IO ERROR] (" + th + ") boom\n" + sep + "\n",
       2,
       1},
      {{"Net"}, true, [&] { BasicLogger::log("IO", boom); }, {}, "-", 0, 1},
      {{}, false, [] { T().log("m"), T().log("A", "m"); }, {"[T]: m", "[A]: m"}},
      {{},
       false,
       [] { T().logAdvanced("m", false, "a", 7, "f"); },
       {"[T]: file:a|line:7|func:f|Msg: m"}},
      {{},
       false,
       [&] { Fetcher().log(boom), Fetcher().logAdvanced("m", false, "a", 7, "f"); },
       {"[Fetcher+eu-1 ERROR] boom", "[Fetcher+eu-1]: file:a|line:7|func:f|Msg: m"},
       "-",
       2,
       1},
      {{},
       true,
       [] { BasicLogger::log("Net", "a\xFF\nb"); },
       {"[Net]: a\xEF\xBF\xBD\nb"},
       "\n" + ts + "[Net]: a\xFF\nb\n"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    const Case& c = cases[i];
    const test::TempDir dir;
    auto journal = std::make_shared<MemoryJournal>();
    JournalSink::setShared(journal);
    std::vector<std::string> output;
    setOutputSink([&](std::string_view line) { output.emplace_back(line); });
    int onErrors = 0;
    BasicLogger::setOnError([&](std::string_view, const Error&) { ++onErrors; });
    BasicLogger::setLogFilters(c.filters);
    BasicLogger::setLogFileUrl(URL::fileURL((dir.path() / "logs/LogFile.txt").string()));
    BasicLogger::setWriteLogToFile(c.toFile);
    c.log();
    std::vector<std::string> messages;
    for (const auto& entry : journal->entries()) messages.push_back(journalField(entry, "MESSAGE"));
    EXPECT_EQ(messages, c.journal);
    if (c.file.empty() || c.file == "-") {
      EXPECT_FALSE(std::filesystem::exists(dir.path() / "logs"));
    } else {
      EXPECT_EQ(test::readFile(dir.path() / "logs/LogFile.txt"), c.file);
    }
    EXPECT_EQ(output, std::vector<std::string>(static_cast<std::size_t>(c.separators), sep));
    EXPECT_EQ(onErrors, c.onErrors);
    BasicLogger::setWriteLogToFile(false);
  }
  EXPECT_EQ(BasicLogger::timestamp(), "10:11:12.345");
  BasicLogger::setLogFilters({});
  BasicLogger::setOnError(nullptr);
  BasicLogger::setClock(nullptr);
  JournalSink::setShared(nullptr);
  setOutputSink(nullptr);
}

}  // namespace
}  // namespace mornik
