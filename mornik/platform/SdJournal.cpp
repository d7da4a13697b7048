// The system journal over libsystemd (mornik-desktop).

#include <sys/uio.h>

// The entry names no source position of its own (the library's sender is
// of no interest); the loggers add the caller's where they know it.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <memory>
#include <string>
#include <vector>

#include <systemd/sd-journal.h>

#include "mornik/platform/Journal.hpp"
#include "mornik/platform/detail/DesktopFactories.hpp"

namespace mornik {

namespace {

class SdJournal final : public JournalSink {
 public:
  void send(const JournalEntry& entry) override {
    // "NAME=value" per field; sd_journal_sendv frames values holding line
    // feeds in the journal's binary form, so they arrive unchanged.
    std::vector<std::string> texts;
    texts.reserve(entry.size());
    std::vector<iovec> parts;
    parts.reserve(entry.size());
    for (const JournalField& field : entry) {
      std::string& text = texts.emplace_back();
      text.reserve(field.name.size() + 1 + field.value.size());
      text.append(field.name).append(1, '=').append(field.value);
      parts.push_back(iovec{text.data(), text.size()});
    }
    // A journal that is not running or refuses the entry loses it: logging
    // does not fail.
    (void)sd_journal_sendv(parts.data(), static_cast<int>(parts.size()));
  }
};

}  // namespace

Result<std::shared_ptr<JournalSink>> detail::desktopJournal() {
  return std::shared_ptr<JournalSink>(std::make_shared<SdJournal>());
}

}  // namespace mornik
