// The main queue inside a GLib main loop (no GTK needed): what a GTK
// application does, with g_main_loop_run() standing in for the toolkit's
// loop. A worker reads a sensor and updates a signal; the signal assigns
// each reading to the model on the main thread; a scheduled run on
// the main thread reports the model twice and quits.

#include <cstdio>
#include <memory>
#include <string>

#include <glib.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/HostLoop.hpp"
#include "mornik/flow/signal/Signal.hpp"
#include "mornik/platform/GLibMainQueue.hpp"
#include "mornik/time/Chron.hpp"

namespace {

struct Model {
  int reading = 0;  // main thread only
};

}  // namespace

int main() {
  using namespace mornik;
  auto mainQueue = GLibMainQueue::attach();
  if (mainQueue.isFailure()) {
    std::fprintf(stderr, "%s\n", mainQueue.error().localizedDescription().c_str());
    return 1;
  }
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);

  auto model = std::make_shared<Model>();
  auto reading = Flow::Signal<int>::make(DispatchQueue::main());
  reading->assign(model, &Model::reading, DispatchQueue::main());
  DispatchQueue::global().async([reading] {
    for (int value = 1; value <= 5; ++value) reading->update(value * 10);
  });

  // Every second, skipping the run inside schedule(): on this thread's run
  // loop, which the host loop now drives.
  auto chron = Chron::make();
  int reports = 0;
  std::string token;
  token = chron->schedule(ScheduleType::every(0, 0, 1, true), [&] {
    std::printf("scheduled run on the main thread: %s, reading %d\n", isMainThread() ? "yes" : "no",
                model->reading);
    if (++reports == 2) {
      chron->cancel(token);
      g_main_loop_quit(loop);
    }
  });

  g_main_loop_run(loop);
  g_main_loop_unref(loop);
  std::printf("GLib main loop done: last reading %d\n", model->reading);
  return model->reading == 50 ? 0 : 1;
}
