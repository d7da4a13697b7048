#pragma once

#include <memory>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// Drives the main queue from the Qt event loop of the application's main
// thread: a QCoreApplication (or QGuiApplication, QApplication) runs the main
// queue's work and the main thread's RunLoopTimers without ever calling
// RunLoop::main().run().
//
//   int main(int argc, char** argv) {
//     QCoreApplication app(argc, argv);
//     auto mainQueue = mornik::QtMainQueue::attach();
//     return app.exec();
//   }
//
// A QSocketNotifier watches the main queue's event descriptor (HostLoop.hpp)
// and a precise single-shot QTimer waits for the next timer deadline; both
// belong to the application object and go with it. Attaching again shares
// them. Qt's GLib-based dispatcher and its own (QT_NO_GLIB=1) both work; with
// GLibMainQueue attached too, each item still runs once. A modal loop
// (QEventLoop::exec, QDialog::exec) inside main-queue work fires timers but
// runs no main-queue item until that work returns.
//
// Thread safety: attach() and the handle's destruction on the main thread
// only: attach() fails elsewhere, and before the application object exists.
class QtMainQueue {
 public:
  // Fails off the main thread ("QtMainQueue: attach on the main thread",
  // code EPERM), without a QCoreApplication ("QtMainQueue: no
  // QCoreApplication yet", code EINVAL), or when no event descriptor can be
  // made.
  static Result<QtMainQueue> attach();

  // Whether the main queue is attached to Qt's event loop.
  static bool isAttached();

  struct State;
  struct Passkey {};
  QtMainQueue(Passkey /*unused*/, std::shared_ptr<State> state) noexcept
      : state_(std::move(state)) {}

 private:
  std::shared_ptr<State> state_;
};

}  // namespace mornik

MORNIK_EXPORTS_END
