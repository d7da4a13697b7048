// Built against an installed mornik-desktop by scripts/check-install.sh:
// the real adapters answer.
#include <cstdio>

#include "mornik/platform/DesktopAdapters.hpp"
#include "mornik/platform/DesktopFiles.hpp"

int main() {
  mornik::useDesktopAdapters();
  const auto files = mornik::DesktopFiles::forDesktop();
  if (files.isFailure()) return 1;
  if (files.value()->contentTypeForName("notes.txt") != "text/plain") return 1;
  std::printf("desktop consumer: ok\n");
  return 0;
}
