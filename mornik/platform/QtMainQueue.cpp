#include "mornik/platform/QtMainQueue.hpp"

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <string>

#include "mornik/base/Fatal.hpp"
#include "mornik/concurrency/HostLoop.hpp"

namespace mornik {

struct QtMainQueue::State {
  explicit State(HostLoopAttachment attached) : host(std::move(attached)) {
    // Children of the application: they go with it, whichever goes first.
    QCoreApplication* app = QCoreApplication::instance();
    notifier = new QSocketNotifier(static_cast<qintptr>(host.fd()), QSocketNotifier::Read, app);
    QObject::connect(notifier.data(), &QSocketNotifier::activated, app, [this] { drain(); });
    timer = new QTimer(app);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer.data(), &QTimer::timeout, app, [this] { drain(); });
  }
  ~State() {
    delete notifier.data();
    delete timer.data();
  }
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  void drain() {
    auto drained = drainMainQueue();
    if (drained.isFailure()) {
      detail::fatal(("QtMainQueue: the main queue's notifier fired off the main thread: " +
                     drained.error().localizedDescription())
                        .c_str());
    }
    if (timer.isNull()) return;
    const auto next = drained.value().nextTimer;
    if (!next) {
      timer->stop();
      return;
    }
    const auto in =
        std::chrono::ceil<std::chrono::milliseconds>(*next - std::chrono::steady_clock::now());
    timer->start(
        static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(in.count(), 0, INT_MAX)));
  }

  HostLoopAttachment host;
  QPointer<QSocketNotifier> notifier;
  QPointer<QTimer> timer;
};

namespace {

std::weak_ptr<QtMainQueue::State>& attached() {
  static auto* const state = new std::weak_ptr<QtMainQueue::State>;
  return *state;
}

}  // namespace

Result<QtMainQueue> QtMainQueue::attach() {
  if (!isMainThread()) return WTF("QtMainQueue: attach on the main thread", EPERM);
  if (QCoreApplication::instance() == nullptr) {
    return WTF("QtMainQueue: no QCoreApplication yet", EINVAL);
  }
  // A handle kept from an application that is gone shares nothing.
  if (auto existing = attached().lock(); existing && !existing->notifier.isNull()) {
    return QtMainQueue(Passkey{}, std::move(existing));
  }
  auto host = attachHostLoop();
  if (host.isFailure()) return host.error();
  auto state = std::make_shared<State>(std::move(host).value());
  attached() = state;
  return QtMainQueue(Passkey{}, std::move(state));
}

bool QtMainQueue::isAttached() { return !attached().expired(); }

}  // namespace mornik
