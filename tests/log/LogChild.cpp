// The logger tests' second process, with the desktop library's journal:
//   LogChild <file> <title> [n]   logs "line <i>" and 200 dots to the file, n
//                                 times or until killed, printing i after each
//                                 log() has returned
//   LogChild journal              logs the journal test's lines

#include <cstdio>
#include <string>

#include "mornik/log/AppLogger.hpp"
#include "mornik/platform/DesktopAdapters.hpp"
#include "mornik/settings/AppIdentity.hpp"

struct Fetcher final : mornik::LoggerID {
  std::string loggerId() const override { return "eu-1"; }
};

int main(int argc, char** argv) {
  mornik::useDesktopAdapters();
  if (argc == 2) {
    (void)mornik::AppIdentity::setIdentifier("org.example.logchild");
    mornik::BasicLogger::log("Net", "two\nlines and \xFF bad");
    mornik::BasicLogger::log("Net", mornik::WTF("boom", 0));
    Fetcher().logAdvanced("m", false, "a.cpp", 7, "f");
    return 0;
  }
  if (argc < 3) return 2;
  mornik::BasicLogger::setLogFileUrl(mornik::URL::fileURL(argv[1]));
  mornik::BasicLogger::setWriteLogToFile(true);
  const long count = argc > 3 ? std::stol(argv[3]) : -1;
  for (long i = 0; i != count; ++i) {
    mornik::BasicLogger::log(argv[2], "line " + std::to_string(i) + std::string(200, '.'));
    if (std::printf("%ld\n", i) < 0 || std::fflush(stdout) != 0) return 1;
  }
  return 0;
}
