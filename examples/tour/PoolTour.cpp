#include <algorithm>
#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <variant>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/RunLoop.hpp"
#include "mornik/flow/pool/Identities.hpp"
#include "mornik/flow/pool/Pool.hpp"
#include "mornik/flow/pool/Producer.hpp"
#include "mornik/flow/pool/RunBlocking.hpp"
#include "mornik/platform/Pasteboard.hpp"
#include "mornik/ui/ErrorsView.hpp"

#include "tour/Tour.hpp"

namespace tour {

namespace {

using mornik::DispatchQueue;
using mornik::Flow::Pool;

void pumpUntil(const std::function<bool()>& done) { mornik::RunLoop::main().runUntil(done, 5.0); }

struct Upload {
  std::string file;
};

struct WordIndex {
  std::string project;
};

mornik::Task<int> countWordsLater(std::string text) {
  co_await mornik::sleepMs(5);
  co_return static_cast<int>(std::count(text.begin(), text.end(), ' ') + 1);
}

}  // namespace

void pools() {
  heading("Pools and errors");

  // A pool owns the work it makes: the caller keeps no reference, yet the
  // work runs and its handlers fire.
  auto pool = Pool::make(DispatchQueue("tour.sync"));
  std::atomic<int> synced{0};
  pool->future([]() -> mornik::Result<int> { return 12; })
      ->failing(pool)
      .onSuccess(DispatchQueue::main(), [&](int files) { synced = files; });
  pumpUntil([&] { return synced.load() != 0; });
  say("synced " + std::to_string(synced.load()) + " files; the pool holds " +
      std::to_string(pool->futureCount()) + " future(s) until discard(id)");

  // Cancellable work polls its token; discarding the future cancels it, and
  // the future fails at once with the cancellation error.
  auto crunch = pool->cancellableFuture([](const mornik::Flow::CancellationToken& token) {
    while (!token.isCancelled()) std::this_thread::yield();
    return mornik::Result<int>(0);
  });
  std::atomic<bool> ended{false};
  mornik::Subscription watching =
      crunch->onFailure(mornik::Flow::scoped, DispatchQueue::main(), [&](const mornik::Error& e) {
        say("crunch ended: " + e.localizedDescription());
        ended = true;
      });
  pool->discard(crunch->id());
  pumpUntil([&] { return ended.load(); });
  watching.cancel();  // a scoped handler goes with its Subscription

  // A wait that could never end is refused: the work is queued on the very
  // queue the waiting thread holds.
  const DispatchQueue serial("tour.serial");
  const auto refused = serial.sync([&] {
    return mornik::Flow::Future<int>::make(serial, [] { return mornik::Result<int>(1); })->wait();
  });
  say("wait refused: " + refused.error().localizedDescription());

  // A failure routed with failing() reaches the pool's error pool, and an
  // application-wide sink through forwarding.
  auto appErrors = mornik::ErrorPool::make();
  pool->forwardErrors(appErrors);
  pool->future([]() -> mornik::Result<int> { return mornik::WTF("server not reachable", 7); })
      ->failing(pool);
  pumpUntil([&] { return appErrors->errorCount() == 1; });
  say("pool has a recent error: " + std::string(pool->hasRecentError() ? "yes" : "no") +
      "; forwarded to the app: " + appErrors->errors()[0].descriptionTitle());

  // The error view, as any toolkit would draw and drive it.
  auto clipboard = std::make_shared<mornik::MemoryPasteboard>();
  mornik::ErrorsView view = mornik::errorView(*pool, clipboard);
  say("error view label: \"" + view.labelText() + "\"");
  view.toggle();
  view.copyDescription();
  say("copied from the popover:");
  std::string copied = clipboard->string().value_or("");
  for (std::size_t at = 0; (at = copied.find('\n', at)) != std::string::npos; at += 5) {
    copied.replace(at, 1, "\n    ");
  }
  say("  " + copied);
  view.dismiss();
  say("after Dismiss the view shows an error: " + std::string(view.showsError() ? "yes" : "no"));

  // The pool's signal service: a producer learns that somebody listens.
  std::atomic<bool> listened{false};
  std::atomic<bool> uploaded{false};
  pool->signals()->onSubscribe<Upload>()->onUpdate([&](std::monostate) { listened = true; });
  pool->signals()->subscribeFor<Upload>()->onUpdate(
      [&](const Upload& u) { uploaded = u.file == "notes.txt"; });
  pool->signals()->send(Upload{"notes.txt"});
  pumpUntil([&] { return listened.load() && uploaded.load(); });
  say("a listener subscribed, then received the upload of notes.txt");
}

void producers() {
  heading("Producers, projects and blocking bridges");

  // A producer reloads a value on demand and counts the reloads in flight.
  std::atomic<int> reloads{0};
  auto weather = mornik::Flow::Producer<std::string>::make(
      mornik::Flow::PoolID{"tour.weather"}, [&reloads]() -> mornik::Result<std::string> {
        return reloads.fetch_add(1) == 0 ? "sunny, 21 C" : "rain, 14 C";
      });
  std::atomic<int> changes{0};
  mornik::Subscription watching = weather->objectWillChange().subscribe([&] { ++changes; });
  weather->refreshing();
  pumpUntil([&] { return changes.load() == 1; });
  say("weather: " + weather->value().value_or("?") + " (refreshes in flight: " +
      std::to_string(weather->inProgress()->currentValue().value_or(-1)) + ")");
  (void)weather->refresh()->wait();
  pumpUntil([&] { return changes.load() == 2; });
  say("after a reload: " + weather->value().value_or("?"));

  // A project path names one storage and one pool for the whole process.
  mornik::Flow::ProjectID novel("/home/me/novel/");
  auto index = novel.storage()->lazyInit<WordIndex>(
      "words", [](const mornik::Flow::ProjectID& id, const std::shared_ptr<Pool>&) {
        return std::make_shared<WordIndex>(WordIndex{id.path});
      });
  say("project " + novel.path + " runs on queue \"" + novel.pool()->queue().label() +
      "\"; its word index is shared: " +
      (mornik::Flow::ProjectID("/home/me/novel")
                   .storage()
                   ->lazyInit<WordIndex>("words",
                                         [](const auto&, const auto&) {
                                           return std::shared_ptr<WordIndex>();
                                         }) == index
           ? "yes"
           : "no"));

  // Blocking code can wait for a task.
  say("words counted by a task, waited for here: " +
      std::to_string(mornik::getSyncResultFrom([] { return countWordsLater("it was a dark"); })));
}

}  // namespace tour
