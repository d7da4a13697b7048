#pragma once

#include <concepts>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "mornik/base/Error.hpp"
#include "mornik/base/ErrorFlow.hpp"
#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/QoS.hpp"
#include "mornik/flow/document/Codecs.hpp"
#include "mornik/flow/document/IO.hpp"
#include "mornik/flow/document/detail/DocumentSaving.hpp"
#include "mornik/flow/observe/Binding.hpp"
#include "mornik/flow/observe/ObservableObject.hpp"
#include "mornik/flow/pool/Pool.hpp"
#include "mornik/flow/pool/Streamed.hpp"
#include "mornik/settings/UserDefaults.hpp"
#include "mornik/text/Json.hpp"
#include "mornik/text/URL.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::Flow {

// One piece of persistent content (settings, a list, a text) kept in memory
// for the user interface and saved behind the scenes.
//
//   auto settings = Flow::Document<Settings>::makeJsonURL(
//       asURL((AppIdentity::configFolder() / "settings.json").string()), Settings{}, appErrors);
//   settings->content.modify([](Settings& s) { s.fontSize += 1; });   // saved at once
//   settings->content.modify([](Settings& s) { s.fontSize += 1; });   // saved about 1 s later
//   auto s = settings->objectWillChange().subscribe([&] { redraw(settings->content.get()); });
//   settings->flush();                         // saves a held value now
//
// Reading: the content is read once, in make(), on the calling thread,
// through the codec. When that read fails the content is `defaultContent`
// and the error goes to the document's error pool (and on to `errors`); the
// document is made all the same. The store is never read again: from then
// on the in-memory value is the truth.
//
// Saving: every assignment of `content` (also of an equal value) is
// published on content.signal() and written through the codec, one write at
// a time, on the document's queue. The first assignment after a quiet
// second is written at once; later ones within the second are held and the
// latest of them is written when the second ends (a throttle of 1 s that
// keeps the last value). Making a document writes nothing. A failed write
// goes to the error pool (and on to `errors`); the content keeps the new
// value, so the next write, flush() or the document's end stores it.
//
// Nothing lost: flush() writes a held value now. When the document is
// destroyed, and when the process exits normally (exit() or a return from
// main), a value not yet written is written then; a failure at that point
// goes to `errors` if it still exists, else it is printed as
// "Flow.Document.<label>: ERROR <description>".
//
// The user's bytes: for the file forms (makeJsonURL, makeTextURL), a file
// that exists but could not be read at construction (corrupt JSON, JSON of
// another shape, text in no known encoding, no permission to read) is kept
// as "<file>.unreadable-<UTC time>" beside it before the first write
// replaces it; the error reported for the read ends with "; the first save
// keeps it as <that name>". A file that another program changed after the
// document read or wrote it is kept as "<file>.changed-<UTC time>" before the
// next write, which reports the error "<path> was changed by another program
// since the document read or saved it; that version is kept as <name> and
// the document's content replaces it" (code 0) and then writes. When the
// bytes cannot be kept, the write fails with "can't keep the ... so it was
// not replaced" (domain POSIX) and nothing is replaced. makeJsonUserDefaultsKey
// does the same for its key's value, keeping the settings file (as
// "<file>.unreadable-<UTC time>" or "<file>.changed-<UTC time>"); the store
// itself keeps other keys and moves an unreadable settings file aside. A
// symbolic link is followed (the file it names is kept and replaced). A
// change another program makes in the instant between a write and the
// document's look at the result goes unnoticed.
//
// Notifications (objectWillChange(), on the main queue): one after every
// assignment, not for the initial content, and one for every error that
// reaches the error pool, so that views can show it.
//
// Queues: each document has its own serial queue, "Flow.Document.<label>",
// of user-interactive class of service; its pool runs on it, the content
// signal's handlers run on it unless they name another, and every write runs
// on it.
//
// Ownership: held by std::shared_ptr. The document owns its pool, its codec
// and its content signal; the signal's handlers hold the document weakly.
// contentBinding() holds the document strongly. Each write is a future of
// the pool, which lets it go once it has run (see Pool).
//
// Thread safety: every member may be called from any thread; each read and
// each write of `content` is atomic through its signal's lock. flush(), and
// the document's destructor, wait for the document's queue: do not call
// them from work that the queue waits for. Two assignments made at the same
// moment from two threads are both published, in no fixed order.
template <class T>
class Document final : public ObservableObject,
                       public mornik::detail::SavesAtExit,
                       public std::enable_shared_from_this<Document<T>> {
  struct Passkey {
    explicit Passkey() = default;
  };
  using Saver = mornik::detail::ContentSaver<T, IO<T>>;

 public:
  using Pointer = std::shared_ptr<Document>;

  // A document over any codec, named `label`.
  static Pointer make(IO<T> io, T defaultContent, std::shared_ptr<ErrorFlow> errors,
                      std::string label) {
    return build(std::move(io), std::move(defaultContent), std::move(errors), std::move(label),
                 nullptr);
  }

  // A JSON value in the file at `jsonURL` (jsonFileIO), labelled "json.<path>".
  static Pointer makeJsonURL(const URL& jsonURL, T defaultContent,
                             std::shared_ptr<ErrorFlow> errors = nullptr)
    requires Decodable<T> && Encodable<T>
  {
    return build(jsonFileIO<T>(jsonURL), std::move(defaultContent), std::move(errors),
                 "json." + jsonURL.path(), fileGuard(jsonURL));
  }

  // A JSON value under `key` of a settings store (jsonUserDefaultsIO),
  // labelled "userDefaults.<key>".
  static Pointer makeJsonUserDefaultsKey(
      const std::string& key, T defaultContent, std::shared_ptr<ErrorFlow> errors = nullptr,
      std::shared_ptr<UserDefaults> userDefaults = UserDefaults::standard())
    requires Decodable<T> && Encodable<T>
  {
    auto guard = mornik::detail::makeSettingsKeyGuard(userDefaults, key);
    return build(jsonUserDefaultsIO<T>(key, userDefaults), std::move(defaultContent),
                 std::move(errors), "userDefaults." + key, std::move(guard));
  }

  // Text in the file at `textURL` (plainText), labelled "plainText.<path>".
  static Pointer makeTextURL(const URL& textURL, std::string defaultContent,
                             std::shared_ptr<ErrorFlow> errors = nullptr)
    requires std::same_as<T, std::string>
  {
    return build(plainText(textURL), std::move(defaultContent), std::move(errors),
                 "plainText." + textURL.path(), fileGuard(textURL));
  }

  Document(Passkey /*unused*/, std::string label, std::shared_ptr<Pool> pool, IO<T> io,
           T initialContent, T defaultContent, std::shared_ptr<Saver> saver,
           std::weak_ptr<ErrorFlow> errors)
      : content(std::move(initialContent), pool->queue()),
        label_(std::move(label)),
        pool_(std::move(pool)),
        io_(std::move(io)),
        defaultContent_(std::move(defaultContent)),
        saver_(std::move(saver)),
        errors_(std::move(errors)) {}

  // Saves a value not written yet (see above).
  ~Document() override { saveOrReport(/*closing=*/true); }
  Document(const Document&) = delete;
  Document& operator=(const Document&) = delete;

  // The content: read with get() (or implicitly), write with set() or `=`,
  // change in place with modify(); content.signal() (the `$content` of the
  // document) carries the initial content and every value assigned.
  Streamed<T> content;

  const std::string& label() const noexcept { return label_; }
  const std::shared_ptr<Pool>& pool() const noexcept { return pool_; }
  const IO<T>& io() const noexcept { return io_; }
  const T& defaultContent() const noexcept { return defaultContent_; }

  // A binding whose getter reads `content` and whose setter assigns it; both
  // hold the document.
  Binding<T> contentBinding() {
    Pointer self = this->shared_from_this();
    return Binding<T>([self] { return self->content.get(); },
                      [self](T value) { self->content.set(value); });
  }

  // Writes the latest content now, on the document's queue, when an
  // assignment made before the call is not written yet, and returns the
  // write's result (success when there was nothing to write). A failure also
  // goes to the error pool. A value held by the throttle is not written
  // again when its second ends.
  Result<void> flush() {
    auto saved = save();
    if (saved.isFailure()) pool_->append(saved.error());
    return saved;
  }

 private:
  static std::unique_ptr<mornik::detail::StoreGuard> fileGuard(const URL& url) {
    if (!url.isFileURL()) return nullptr;
    return mornik::detail::makeFileGuard(url.path());
  }

  // The construction steps, in order: the queue and the pool; the first
  // read; the fields and the content; error forwarding; the wiring.
  static Pointer build(IO<T> io, T defaultContent, std::shared_ptr<ErrorFlow> errors,
                       std::string label, std::unique_ptr<mornik::detail::StoreGuard> guard) {
    DispatchQueue queue("Flow.Document." + label, QoS::userInteractive);
    auto pool = Pool::make(queue);

    std::optional<T> initial;
    auto read = io.readContent();
    if (read.isSuccess()) {
      initial.emplace(std::move(read).value());
    } else {
      pool->append(guard ? guard->firstReadFailed(read.error()) : read.error());
    }

    auto saver = std::make_shared<Saver>(io, std::move(guard));
    auto document = std::make_shared<Document>(Passkey(), std::move(label), pool, std::move(io),
                                               initial ? std::move(*initial) : defaultContent,
                                               defaultContent, saver, errors);
    if (errors) pool->forwardErrors(errors);

    const auto& signal = document->content.signal();
    signal->onUpdate(document, DispatchQueue::main(),
                     [skip = true](Document& self, const T& /*value*/) mutable {
                       if (std::exchange(skip, false)) return;  // the initial content
                       self.objectWillChange().send();
                     });
    mornik::detail::wireSaving(signal, saver, pool, /*skipFirst=*/true);
    pool->errorPool()->recentError()->onUpdate(
        document, DispatchQueue::main(),
        [](Document& self, const Error& /*error*/) { self.objectWillChange().send(); });
    mornik::detail::saveAtExit(document);
    return document;
  }

  void saveAtExit() override { saveOrReport(/*closing=*/false); }

  // Writes what is not written yet, on the document's queue; `closing`
  // makes it the document's last write.
  Result<void> save(bool closing = false) {
    return mornik::detail::runOnQueue(pool_->queue(), [this, closing] {
      ErrorPool& notices = *pool_->errorPool();
      return closing ? saver_->close(content.get(), notices)
                     : saver_->flush(content.get(), notices);
    });
  }

  // save(), with a failure sent to `errors` or printed (see above).
  void saveOrReport(bool closing) {
    auto saved = save(closing);
    if (saved.isFailure()) {
      mornik::detail::reportUnsaved(errors_, "Flow.Document." + label_, saved.error());
    }
  }

  const std::string label_;
  const std::shared_ptr<Pool> pool_;
  const IO<T> io_;
  const T defaultContent_;
  const std::shared_ptr<Saver> saver_;
  const std::weak_ptr<ErrorFlow> errors_;
};

}  // namespace mornik::Flow

MORNIK_EXPORTS_END
