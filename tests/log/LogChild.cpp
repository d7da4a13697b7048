// A second process for the logger's tests, linked with the desktop library
// so that its lines reach the real journal:
//   LogChild loop <file> <title>        logs to the file until killed; after
//                                       each log() has returned, prints its
//                                       number on standard output
//   LogChild count <file> <title> <n>   logs n lines to the file
//   LogChild journal                    logs the journal test's lines

#include <cstdio>
#include <string>

#include <unistd.h>

#include "mornik/base/Error.hpp"
#include "mornik/log/AppLogger.hpp"
#include "mornik/log/BasicLogger.hpp"
#include "mornik/platform/DesktopAdapters.hpp"
#include "mornik/settings/AppIdentity.hpp"

namespace {

struct Fetcher final : mornik::LoggerID {
  std::string loggerId() const override { return "eu-1"; }
};

void toFile(const char* file) {
  mornik::BasicLogger::setLogFileUrl(mornik::URL::fileURL(file));
  mornik::BasicLogger::setWriteLogToFile(true);
}

}  // namespace

int main(int argc, char** argv) {
  mornik::useDesktopAdapters();
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "loop" && argc == 4) {
    toFile(argv[2]);
    for (long i = 0;; ++i) {
      mornik::BasicLogger::log(argv[3], "line " + std::to_string(i) + std::string(40, '.'));
      const std::string done = std::to_string(i) + "\n";
      if (::write(STDOUT_FILENO, done.data(), done.size()) < 0) return 1;
    }
  }
  if (mode == "count" && argc == 5) {
    toFile(argv[2]);
    const long count = std::stol(argv[4]);
    const std::string filler(200, argv[3][0]);
    for (long i = 0; i < count; ++i) mornik::BasicLogger::log(argv[3], filler);
    return 0;
  }
  if (mode == "journal") {
    (void)mornik::AppIdentity::setIdentifier("org.example.logchild");
    mornik::BasicLogger::log("Net", "two\nlines and \xFF bad");
    mornik::BasicLogger::log("Net", mornik::WTF("boom", 0));
    Fetcher().logAdvanced("m", false, "a.cpp", 7, "f");
    return 0;
  }
  std::fputs("usage: LogChild loop|count|journal ...\n", stderr);
  return 2;
}
