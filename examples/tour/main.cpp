// A short tour of Mornik: run it with scripts/demo.sh.
#include <cstdio>

#include "mornik/platform/DesktopAdapters.hpp"

#include "tour/Tour.hpp"

int main() {
  // The tour links mornik-desktop: the workspace, clipboard, dialogs, sound
  // and trash are the desktop's own.
  mornik::useDesktopAdapters();
  std::printf("Mornik tour\n");
  tour::locks();
  tour::results();
  tour::executor();
  tour::flow();
  tour::pools();
  tour::producers();
  tour::values();
  tour::text();
  tour::json();
  tour::documents();
  tour::processes();
  tour::desktop();
  tour::files();
  tour::colours();
  tour::timing();
  tour::crypto();
  tour::logging();
  tour::net();
  std::printf("\nDone.\n");
  return 0;
}
