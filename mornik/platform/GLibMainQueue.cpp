#include "mornik/platform/GLibMainQueue.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <string>

#include <glib.h>

#include "mornik/base/Fatal.hpp"
#include "mornik/concurrency/HostLoop.hpp"

namespace mornik {

namespace {

// A GSource that watches the main queue's descriptor and wakes for the next
// timer deadline.
struct MainQueueSource {
  GSource base;
  gpointer fdTag;
  gint64 deadlineUs;  // on g_get_monotonic_time(); -1: no timer
};

MainQueueSource* asMain(GSource* source) { return reinterpret_cast<MainQueueSource*>(source); }

gboolean prepare(GSource* source, gint* timeout) {
  const gint64 deadline = asMain(source)->deadlineUs;
  *timeout = -1;
  if (deadline < 0) return FALSE;
  const gint64 now = g_source_get_time(source);
  if (now >= deadline) return TRUE;
  // Rounded up: woken early, the loop would only poll again.
  const gint64 ms = (deadline - now + 999) / 1000;
  *timeout = ms > G_MAXINT ? G_MAXINT : static_cast<gint>(ms);
  return FALSE;
}

gboolean check(GSource* source) {
  auto* self = asMain(source);
  if ((g_source_query_unix_fd(source, self->fdTag) & G_IO_IN) != 0) return TRUE;
  return self->deadlineUs >= 0 && g_source_get_time(source) >= self->deadlineUs;
}

gboolean dispatch(GSource* source, GSourceFunc /*callback*/, gpointer /*data*/) {
  auto drained = drainMainQueue();
  if (drained.isFailure()) {
    detail::fatal(
        ("GLibMainQueue: the context holding the main queue's source was iterated off the "
         "main thread: " +
         drained.error().localizedDescription())
            .c_str());
  }
  auto* self = asMain(source);
  self->deadlineUs = -1;
  if (const auto next = drained.value().nextTimer) {
    const auto in =
        std::chrono::ceil<std::chrono::microseconds>(*next - std::chrono::steady_clock::now());
    self->deadlineUs = g_get_monotonic_time() + std::max<gint64>(0, in.count());
  }
  return G_SOURCE_CONTINUE;
}

GSourceFuncs gFuncs = {prepare, check, dispatch, nullptr, nullptr, nullptr};

std::mutex gRegistryMutex;
std::map<GMainContext*, std::weak_ptr<GLibMainQueue::Source>>& registry() {
  static auto* const sources = new std::map<GMainContext*, std::weak_ptr<GLibMainQueue::Source>>;
  return *sources;
}

}  // namespace

struct GLibMainQueue::Source {
  Source(GMainContext* context, HostLoopAttachment host) : context(context), host(std::move(host)) {
    g_main_context_ref(context);
    gsource = g_source_new(&gFuncs, sizeof(MainQueueSource));
    g_source_set_name(gsource, "mornik.main");
    // A modal loop inside main-queue work dispatches the source again, for
    // the timers (the drain itself runs no item there).
    g_source_set_can_recurse(gsource, TRUE);
    auto* self = asMain(gsource);
    self->deadlineUs = -1;
    self->fdTag = g_source_add_unix_fd(gsource, this->host.fd(), G_IO_IN);
    g_source_attach(gsource, context);
  }
  ~Source() {
    {
      const std::lock_guard<std::mutex> guard(gRegistryMutex);
      auto found = registry().find(context);
      if (found != registry().end() && found->second.expired()) registry().erase(found);
    }
    g_source_destroy(gsource);
    g_source_unref(gsource);
    g_main_context_unref(context);
  }
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;

  GMainContext* context;
  HostLoopAttachment host;
  GSource* gsource;
};

Result<GLibMainQueue> GLibMainQueue::attach(GMainContext* context) {
  if (!isMainThread()) {
    return WTF("GLibMainQueue: attach on the main thread", EPERM);
  }
  if (context == nullptr) context = g_main_context_default();
  const std::lock_guard<std::mutex> guard(gRegistryMutex);
  if (auto existing = registry()[context].lock()) {
    return GLibMainQueue(Passkey{}, std::move(existing));
  }
  auto host = attachHostLoop();
  if (host.isFailure()) return host.error();
  auto source = std::make_shared<Source>(context, std::move(host).value());
  registry()[context] = source;
  return GLibMainQueue(Passkey{}, std::move(source));
}

bool GLibMainQueue::isAttached(GMainContext* context) {
  if (context == nullptr) context = g_main_context_default();
  const std::lock_guard<std::mutex> guard(gRegistryMutex);
  auto found = registry().find(context);
  return found != registry().end() && !found->second.expired();
}

}  // namespace mornik
