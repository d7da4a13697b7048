#pragma once

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// Installs the desktop library's adapters (GIO, D-Bus, GStreamer, X11,
// GdkPixbuf) as the defaults of Workspace, Pasteboard, FileDialogs,
// SoundOutput, DesktopFiles, SecretStore and JournalSink: their shared
// instances and forDesktop()
// use them from then on (an instance a program installed itself stays).
//
//   int main() {
//     mornik::useDesktopAdapters();  // link mornik::desktop (CMake) or mornik-desktop
//     ...
//   }
//
// Defined in mornik-desktop, which also calls it when it is loaded. Call it
// anyway: a linker that drops the libraries whose symbols a program does
// not use (--as-needed, the default on many distributions) would drop the
// desktop library from a program that wants nothing of it but its
// adapters, and the program would then be told that the adapters are not
// available.
//
// Thread safety: may be called from any thread, any number of times.
void useDesktopAdapters();

}  // namespace mornik

MORNIK_EXPORTS_END
