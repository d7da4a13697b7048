#include "mornik/platform/Journal.hpp"

#include "mornik/concurrency/LockingProtocol.hpp"
#include "mornik/platform/detail/AdapterSlot.hpp"
#include "mornik/platform/detail/DesktopFactories.hpp"

namespace mornik {

namespace {

// Without the desktop library there is no journal to write to.
class DroppingJournal final : public JournalSink {
 public:
  void send(const JournalEntry& /*entry*/) override {}
  bool isEnabled() const override { return false; }
};

detail::AdapterSlot<JournalSink>& slot() {
  static detail::AdapterSlot<JournalSink> sink(
      "the system journal", [](const Error& /*why*/) -> std::shared_ptr<JournalSink> {
        return std::make_shared<DroppingJournal>();
      });
  return sink;
}

}  // namespace

void detail::setDesktopFactory(Result<std::shared_ptr<JournalSink>> (*factory)()) {
  slot().setFactory(factory);
}

Result<std::shared_ptr<JournalSink>> JournalSink::forDesktop() { return slot().forDesktop(); }
std::shared_ptr<JournalSink> JournalSink::shared() { return slot().get(); }
void JournalSink::setShared(std::shared_ptr<JournalSink> sink) { slot().set(std::move(sink)); }

void MemoryJournal::send(const JournalEntry& entry) {
  detail::ScopedLock<UnfairLock> guard(lock_);
  entries_.push_back(entry);
}

std::vector<JournalEntry> MemoryJournal::entries() const {
  detail::ScopedLock<UnfairLock> guard(lock_);
  return entries_;
}

std::string journalField(const JournalEntry& entry, const std::string& name) {
  for (const JournalField& field : entry) {
    if (field.name == name) return field.value;
  }
  return {};
}

}  // namespace mornik
