#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "mornik/base/Error.hpp"
#include "mornik/base/ErrorFlow.hpp"
#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/flow/pool/ErrorPool.hpp"
#include "mornik/flow/pool/Pool.hpp"
#include "mornik/flow/signal/Signal.hpp"
#include "mornik/flow/signal/Throttle.hpp"
#include "mornik/settings/KeyValueStore.hpp"

MORNIK_EXPORTS_BEGIN

// The saving machinery shared by Flow::Document and Flow::MemData.

namespace mornik::detail {

// Keeps the user's bytes when a document's store holds something the
// document did not write there: a file (or a settings value) that could not
// be read at construction, or one another program changed since. Such a
// version is kept as a backup beside the store's file before a write
// replaces it, and the document says so in an error. Called on the
// document's queue only (the constructor and firstReadFailed() on the
// constructing thread, before any write).
class StoreGuard {
 public:
  virtual ~StoreGuard() = default;
  StoreGuard(const StoreGuard&) = delete;
  StoreGuard& operator=(const StoreGuard&) = delete;

  // The error to report for the first read's failure: the same one, or, when
  // there are bytes the first write would replace, one that says where they
  // will be kept.
  virtual Error firstReadFailed(const Error& error) = 0;
  // Before each write: keeps bytes aside as needed. A failure stops the
  // write (nothing is replaced); `notice` receives an error to report while
  // the write goes ahead.
  virtual Result<void> beforeWrite(std::optional<Error>& notice) = 0;
  // After each successful write.
  virtual void afterWrite() = 0;

 protected:
  StoreGuard() = default;
};

// A guard for a document over the file at `path` (a symbolic link is
// followed). Looks at the file now, so make it before the first read.
std::unique_ptr<StoreGuard> makeFileGuard(const std::filesystem::path& path);
// A guard for a document over the value under `key` of a settings store:
// the store keeps other keys itself; this keeps the store's file when the
// document's own key holds text it could not read or that another writer
// changed. Reads the key now, so make it before the first read.
std::unique_ptr<StoreGuard> makeSettingsKeyGuard(std::shared_ptr<KeyValueStore> store,
                                                 std::string key);

// Something that saves what it holds when the process ends through exit()
// (or a return from main).
class SavesAtExit {
 public:
  virtual ~SavesAtExit() = default;
  virtual void saveAtExit() = 0;

 protected:
  SavesAtExit() = default;
  SavesAtExit(const SavesAtExit&) = default;
  SavesAtExit& operator=(const SavesAtExit&) = default;
};

// Registers `object` (held weakly) to be saved by an exit handler, which
// runs before the library's and the application's objects made before the
// first registration are destroyed.
void saveAtExit(std::weak_ptr<SavesAtExit> object);

// Reports a save that failed while its owner went away (no error pool left
// to show it): to `errors` when it still exists, else as a line on standard
// output, "<who>: ERROR <description>".
void reportUnsaved(const std::weak_ptr<ErrorFlow>& errors, const std::string& who,
                   const Error& error);

// Runs `work` on the serial `queue`: at once when the caller is already
// running on it, else through sync().
template <class F>
auto runOnQueue(const DispatchQueue& queue, F&& work) {
  const auto current = DispatchQueue::current();
  if (current && *current == queue) return work();
  return queue.sync(std::forward<F>(work));
}

// What a document writes and what it has written. Values that reach the
// document's queue are numbered (generation); a write stores one of them
// unless a newer one was already stored (by flush()), so a write held back
// by the throttle never replaces a newer flushed value.
//
// Thread safety: arrive(), write(), flush() and close() run on the document's serial
// queue only, which orders them; nothing else touches the counters.
// Ownership: shared by the document, its content signal's handler and the
// write futures, so that writes already on their way still see the counters
// after the document has gone.
template <class T, class Codec>
class ContentSaver {
 public:
  struct Stamped {
    std::uint64_t generation;
    T value;
  };

  ContentSaver(Codec io, std::unique_ptr<StoreGuard> guard)
      : io_(std::move(io)), guard_(std::move(guard)) {}

  // Numbers a value that reached the queue.
  std::uint64_t arrive() { return ++arrived_; }

  // Writes `value`, numbered `generation`, unless that or a newer value is
  // already written. `notices` receives what the guard reports.
  Result<void> write(const T& value, std::uint64_t generation, ErrorFlow& notices) {
    if (closed_ || generation <= written_) return {};
    if (guard_) {
      std::optional<Error> notice;
      auto kept = guard_->beforeWrite(notice);
      if (notice) notices.append(*notice);
      if (kept.isFailure()) return kept;
    }
    auto written = io_.writeContent(value);
    if (written.isFailure()) return written;
    written_ = generation;
    if (guard_) guard_->afterWrite();
    return {};
  }

  // Writes `latest` when a value that arrived is not written yet.
  Result<void> flush(const T& latest, ErrorFlow& notices) {
    if (written_ >= arrived_) return {};
    return write(latest, arrived_, notices);
  }

  // The document's last write. A value its throttle still holds is not
  // written after it: whoever keeps the pool alive, the document is gone.
  Result<void> close(const T& latest, ErrorFlow& notices) {
    auto flushed = flush(latest, notices);
    closed_ = true;
    return flushed;
  }

  const Codec& io() const noexcept { return io_; }

 private:
  const Codec io_;
  const std::unique_ptr<StoreGuard> guard_;
  std::uint64_t arrived_ = 0;
  std::uint64_t written_ = 0;
  bool closed_ = false;
};

// How long writes are held back after a write: at most one per window.
inline constexpr double kDocumentWriteWindow = 1.0;

// Wires saving: every value of `content` (but the first, with `skipFirst`)
// is numbered on `content`'s queue, then thinned by a throttle of one write
// window that keeps the latest value, and written by a future of `pool` on
// the pool's queue; a failed write lands in the pool's error pool. The pool
// is held weakly: once it has gone, values are ignored.
//
// The handler that numbers a value hands it to the throttle itself (the
// throttle's arrival step, on the same queue), rather than through a
// signal of numbered values that the throttle would follow: the same
// values arrive in the same order, one queue hop sooner.
template <class T, class Codec>
void wireSaving(const std::shared_ptr<Flow::Signal<T>>& content,
                const std::shared_ptr<ContentSaver<T, Codec>>& saver,
                const std::shared_ptr<Flow::Pool>& pool, bool skipFirst) {
  using Stamped = typename ContentSaver<T, Codec>::Stamped;
  auto throttle = ThrottleEventSource<Stamped>::make(
      Flow::AfterThrottling::sendLast,
      throttleWindowMicros(kDocumentWriteWindow, "Document write window"), "Throttle.Timer");
  content->onUpdate([saver, throttle, skip = skipFirst](const T& value) mutable {
    if (std::exchange(skip, false)) return;  // the handler's queue is serial: counting is exact
    throttle->arrive(Stamped{saver->arrive(), value});
  });
  throttle->destination()->onUpdate(pool,
                                    [saver, errors = std::weak_ptr<ErrorPool>(pool->errorPool())](
                                        const Stamped& next) -> Result<void> {
                                      const auto sink = errors.lock();
                                      if (!sink) return {};
                                      return saver->write(next.value, next.generation, *sink);
                                    });
}

}  // namespace mornik::detail

MORNIK_EXPORTS_END
