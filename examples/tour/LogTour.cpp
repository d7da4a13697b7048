// Logging: lines to the system journal and to a log file in a temporary
// folder; the journal fields sent are shown as they leave.

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "mornik/files/URLFiles.hpp"
#include "mornik/log/AppLogger.hpp"
#include "mornik/log/BasicLogger.hpp"
#include "mornik/platform/Journal.hpp"

#include "tour/Tour.hpp"

namespace tour {

namespace {

// Shows each entry, then hands it to the system journal.
class ShownJournal final : public mornik::JournalSink {
 public:
  explicit ShownJournal(std::shared_ptr<mornik::JournalSink> next) : next_(std::move(next)) {}
  void send(const mornik::JournalEntry& entry) override {
    say("journal entry:");
    for (const auto& field : entry) say("  " + field.name + "=" + field.value);
    if (next_) next_->send(entry);
  }

 private:
  const std::shared_ptr<mornik::JournalSink> next_;
};

class Downloader final : public mornik::LoggerID {
 public:
  std::string loggerId() const override { return "mirror-7"; }
};

}  // namespace

void logging() {
  heading("Logging");
  auto folder = mornik::randomTempDirectory();
  if (folder.isFailure()) return;
  const std::string file = folder.value().path() + "/LogFile.txt";

  auto system = mornik::JournalSink::forDesktop();
  mornik::JournalSink::setShared(
      std::make_shared<ShownJournal>(system.isSuccess() ? system.value() : nullptr));
  mornik::BasicLogger::setLogFileUrl(mornik::URL::fileURL(file));
  mornik::BasicLogger::setWriteLogToFile(true);

  mornik::BasicLogger::log("Tour", "hello from the tour");
  const Downloader downloader;
  MORNIK_LOG_ADVANCED(downloader, "fetching the index");
  downloader.log(mornik::WTF("the mirror is down", 0));

  mornik::BasicLogger::setWriteLogToFile(false);
  mornik::JournalSink::setShared(nullptr);
  say("the log file " + file + ":");
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) say("  | " + line);
}

}  // namespace tour
