#pragma once

// ThreadSanitizer cannot see the synchronisation inside GLib, GIO, GObject
// and GStreamer (they are not built with it, and their allocators recycle
// memory between threads under their own locks): reports from calls those
// libraries make are theirs, not ours. Our code's own races still report.
extern "C" inline const char*
__tsan_default_suppressions() {  // NOLINT(bugprone-reserved-identifier)
  return "called_from_lib:libglib-2.0.so\n"
         "called_from_lib:libgio-2.0.so\n"
         "called_from_lib:libgobject-2.0.so\n"
         "called_from_lib:libgstreamer-1.0.so\n"
         "called_from_lib:libgstbase-1.0.so\n"
         "called_from_lib:libgstaudio-1.0.so\n"
         "race:libglib-2.0.so\n"
         "race:libgio-2.0.so\n"
         "race:libgobject-2.0.so\n"
         "race:libgstreamer-1.0.so\n";
}
