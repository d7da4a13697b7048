// The main queue inside a QCoreApplication's event loop: a worker reads a
// sensor and updates a signal; the signal assigns each reading to the model
// on the main thread; a run-loop timer on the main thread reports the model
// twice and quits.

#include <QCoreApplication>
#include <cstdio>
#include <memory>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/HostLoop.hpp"
#include "mornik/concurrency/RunLoop.hpp"
#include "mornik/flow/signal/Signal.hpp"
#include "mornik/platform/QtMainQueue.hpp"

namespace {

struct Model {
  int reading = 0;  // main thread only
};

}  // namespace

int main(int argc, char** argv) {
  using namespace mornik;
  QCoreApplication app(argc, argv);
  auto mainQueue = QtMainQueue::attach();
  if (mainQueue.isFailure()) {
    std::fprintf(stderr, "%s\n", mainQueue.error().localizedDescription().c_str());
    return 1;
  }

  auto model = std::make_shared<Model>();
  auto reading = Flow::Signal<int>::make(DispatchQueue::main());
  reading->assign(model, &Model::reading, DispatchQueue::main());
  DispatchQueue::global().async([reading] {
    for (int value = 1; value <= 5; ++value) reading->update(value * 10);
  });

  int reports = 0;
  auto report = RunLoopTimer::scheduled(0.05, true, [&](RunLoopTimer& timer) {
    std::printf("timer on the main thread: %s, reading %d\n", isMainThread() ? "yes" : "no",
                model->reading);
    if (++reports == 2) {
      timer.invalidate();
      QCoreApplication::quit();
    }
  });

  QCoreApplication::exec();
  std::printf("Qt event loop done: last reading %d\n", model->reading);
  return model->reading == 50 ? 0 : 1;
}
