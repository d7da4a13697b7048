#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/concurrency/ThreadAnnotations.hpp"
#include "mornik/concurrency/UnfairLock.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// One entry of the system journal: its fields in the order given, each a
// name (upper-case letters, digits and '_', not starting with '_') and a
// value. Values may hold any bytes, line feeds included.
struct JournalField {
  std::string name;
  std::string value;

  friend bool operator==(const JournalField&, const JournalField&) = default;
};
using JournalEntry = std::vector<JournalField>;

// Where the loggers' structured lines go: the system journal.
//
//   mornik::JournalSink::shared()->send({{"MESSAGE", "hello"}, {"PRIORITY", "5"}});
//
// The real sink, in the desktop library (mornik-desktop), sends each entry
// to systemd-journald's socket with one datagram (sd_journal_sendv), from
// the calling thread, without waiting for the journal to store it. The
// journal drops what it cannot take (no journald running, a rate limit);
// a sink never reports failure, since logging must not fail.
//
// MemoryJournal keeps the entries for tests. Without the desktop library,
// shared() is a sink that drops every entry.
//
// Thread safety: every member may be called from any thread.
class JournalSink {
 public:
  virtual ~JournalSink() = default;
  JournalSink(const JournalSink&) = delete;
  JournalSink& operator=(const JournalSink&) = delete;

  virtual void send(const JournalEntry& entry) = 0;
  // False for a sink that drops everything, so that callers skip making
  // entries for it.
  virtual bool isEnabled() const { return true; }

  // The system journal (mornik-desktop); fails only when the desktop
  // library is not linked (ENOSYS), not when no journald runs.
  static Result<std::shared_ptr<JournalSink>> forDesktop();
  // The process-wide sink: the one installed last, else (made on first use)
  // forDesktop(), else one that drops every entry.
  static std::shared_ptr<JournalSink> shared();
  // Installs `sink` as the shared one; null: the default again.
  static void setShared(std::shared_ptr<JournalSink> sink);

 protected:
  JournalSink() = default;
};

// Keeps every entry sent, oldest first.
//
// Thread safety: every member may be called from any thread.
class MemoryJournal final : public JournalSink {
 public:
  void send(const JournalEntry& entry) override MORNIK_EXCLUDES(lock_);
  std::vector<JournalEntry> entries() const MORNIK_EXCLUDES(lock_);

 private:
  mutable UnfairLock lock_;
  std::vector<JournalEntry> entries_ MORNIK_GUARDED_BY(lock_);
};

// The value of the field `name` in `entry`, or empty when it has none.
std::string journalField(const JournalEntry& entry, const std::string& name);

}  // namespace mornik

MORNIK_EXPORTS_END
