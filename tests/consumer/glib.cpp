// A GLib application whose main loop drives the main queue.
#include <cstdio>

#include <glib.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/platform/GLibMainQueue.hpp"

int main() {
  auto source = mornik::GLibMainQueue::attach();
  if (source.isFailure()) return 1;
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  bool ran = false;
  mornik::DispatchQueue::global().async([&] {
    mornik::DispatchQueue::main().async([&] {
      ran = true;
      g_main_loop_quit(loop);
    });
  });
  g_main_loop_run(loop);
  g_main_loop_unref(loop);
  std::printf("main queue drained by GLib: %s\n", ran ? "yes" : "no");
  return ran ? 0 : 1;
}
