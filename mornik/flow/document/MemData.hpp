#pragma once

#include <memory>
#include <optional>
#include <string>
#include <typeinfo>
#include <utility>

#include "mornik/base/ErrorFlow.hpp"
#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/base/TypeName.hpp"
#include "mornik/base/UUID.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/ThreadAnnotations.hpp"
#include "mornik/concurrency/UnfairLock.hpp"
#include "mornik/flow/document/IO.hpp"
#include "mornik/flow/document/detail/DocumentSaving.hpp"
#include "mornik/flow/observe/ObservableObject.hpp"
#include "mornik/flow/pool/Pool.hpp"
#include "mornik/flow/pool/Streamed.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::Flow {

// In-memory data with an identity, saved through a MemDataIO codec the way
// a Document is (see Document.hpp), with these differences:
// - a failed first read is not reported: the content is `defaultContent`;
// - every value is written, the initial content included, so the content
//   is written back once right after make() (then at most one write per
//   second, the latest value of the second);
// - it sends no notifications of its own: a view observes it through a
//   RefreshViewModel (newRefreshVM()).
// Failed writes go to its pool's error pool (and on to `errors`); flush(),
// the object's end and a normal process exit write a value not written yet.
//
//   auto cache = Flow::MemData<Thumbnails>::make(thumbnailIO, Thumbnails{}, nullptr);
//   auto vm = cache->newRefreshVM();
//   auto s = vm->objectWillChange().subscribe([&] { grid.reload(cache->content.get()); });
//   cache->content.modify([](Thumbnails& t) { t.add(next); });
//
// Queue: a new serial queue "Flow.MemData.<qualified type name>.<id>" whose
// class of service is unspecified; the pool, the content signal's handlers
// and every write run on it.
//
// Ownership: held by std::shared_ptr; owns its pool, codec and content
// signal. Thread safety: every member may be called from any thread; flush()
// and the destructor wait for the object's queue (do not call them from
// work that the queue waits for).
template <class T>
class MemData final : public mornik::detail::SavesAtExit,
                      public std::enable_shared_from_this<MemData<T>> {
  struct Passkey {
    explicit Passkey() = default;
  };
  using Saver = mornik::detail::ContentSaver<T, MemDataIO<T>>;

 public:
  using Pointer = std::shared_ptr<MemData>;

  // A view model that announces every change of a MemData's content after
  // the initial one, through objectWillChange() on the main queue. It holds
  // nothing but its subscription: the MemData's signal holds it weakly, and
  // it does not keep the MemData alive.
  class RefreshViewModel final : public ObservableObject {
    struct VMPasskey {
      explicit VMPasskey() = default;
    };

   public:
    static std::shared_ptr<RefreshViewModel> make(const std::shared_ptr<MemData>& data) {
      auto model = std::make_shared<RefreshViewModel>(VMPasskey());
      data->content.signal()->onUpdate(
          model, DispatchQueue::main(),
          [skip = true](RefreshViewModel& self, const T& /*value*/) mutable {
            if (std::exchange(skip, false)) return;  // the content held when subscribing
            self.objectWillChange().send();
          });
      return model;
    }
    explicit RefreshViewModel(VMPasskey /*unused*/) {}
  };

  static Pointer make(MemDataIO<T> io, T defaultContent, std::shared_ptr<ErrorFlow> errors) {
    const UUID id = UUID::random();
    DispatchQueue queue("Flow.MemData." + mornik::detail::demangledTypeName(typeid(T)) + "." +
                        id.uuidString());
    auto pool = Pool::make(queue);
    auto read = io.readContent();
    auto saver = std::make_shared<Saver>(io, nullptr);
    auto data = std::make_shared<MemData>(
        Passkey(), pool, id, std::move(io),
        read.isSuccess() ? std::move(read).value() : std::move(defaultContent), saver, errors);
    if (errors) pool->forwardErrors(errors);
    mornik::detail::wireSaving(data->content.signal(), saver, pool, /*skipFirst=*/false);
    mornik::detail::saveAtExit(data);
    return data;
  }

  MemData(Passkey /*unused*/, std::shared_ptr<Pool> pool, UUID id, MemDataIO<T> io,
          T initialContent, std::shared_ptr<Saver> saver, std::weak_ptr<ErrorFlow> errors)
      : content(std::move(initialContent), pool->queue()),
        pool_(std::move(pool)),
        id_(id),
        io_(std::move(io)),
        saver_(std::move(saver)),
        errors_(std::move(errors)) {}

  // Writes a value not written yet.
  ~MemData() override {
    auto saved = save();
    if (saved.isFailure()) {
      mornik::detail::reportUnsaved(errors_, pool_->queue().label(), saved.error());
    }
  }
  MemData(const MemData&) = delete;
  MemData& operator=(const MemData&) = delete;

  // The content, as a Document's (its signal is the `$content`).
  Streamed<T> content;

  const std::shared_ptr<Pool>& pool() const noexcept { return pool_; }
  const MemDataIO<T>& io() const noexcept { return io_; }

  // The identity; fresh at make(), settable (the queue keeps its label).
  UUID id() const MORNIK_EXCLUDES(idLock_) {
    mornik::detail::ScopedLock<UnfairLock> guard(idLock_);
    return id_;
  }
  void setId(UUID id) MORNIK_EXCLUDES(idLock_) {
    mornik::detail::ScopedLock<UnfairLock> guard(idLock_);
    id_ = id;
  }

  // A new view model observing this object.
  std::shared_ptr<RefreshViewModel> newRefreshVM() {
    return RefreshViewModel::make(this->shared_from_this());
  }

  // Writes the latest content now when a value is not written yet, and
  // returns the write's result; a failure also goes to the error pool.
  Result<void> flush() {
    auto saved = save();
    if (saved.isFailure()) pool_->append(saved.error());
    return saved;
  }

 private:
  void saveAtExit() override {
    auto saved = save();
    if (saved.isFailure()) {
      mornik::detail::reportUnsaved(errors_, pool_->queue().label(), saved.error());
    }
  }

  Result<void> save() {
    return mornik::detail::runOnQueue(
        pool_->queue(), [this] { return saver_->flush(content.get(), *pool_->errorPool()); });
  }

  const std::shared_ptr<Pool> pool_;
  mutable UnfairLock idLock_;
  UUID id_ MORNIK_GUARDED_BY(idLock_);
  const MemDataIO<T> io_;
  const std::shared_ptr<Saver> saver_;
  const std::weak_ptr<ErrorFlow> errors_;
};

}  // namespace mornik::Flow

MORNIK_EXPORTS_END
