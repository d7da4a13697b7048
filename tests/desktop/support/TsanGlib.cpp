// ThreadSanitizer cannot see the synchronisation inside GLib, GIO, GObject,
// GStreamer, GdkPixbuf and libsecret (they are not built with it, and their allocators
// recycle memory between threads under their own locks): reports from calls
// those libraries make are theirs, not ours. Our code's own races still
// report. Linked into each program of the desktop and file tests; the
// sanitizer's runtime looks the function up by name, so it must be emitted
// even though nothing here calls it.
extern "C" __attribute__((used)) const char*
__tsan_default_suppressions() {  // NOLINT(bugprone-reserved-identifier)
  // In race and mutex patterns, "libgst" covers GStreamer's core and its
  // plugins (which may unlock a mutex on another thread than the one that
  // locked it); a called_from_lib pattern must name exactly one library.
  return "called_from_lib:libglib-2.0.so\n"
         "called_from_lib:libgio-2.0.so\n"
         "called_from_lib:libgobject-2.0.so\n"
         "called_from_lib:libgstreamer-1.0.so\n"
         "called_from_lib:libgstbase-1.0.so\n"
         "called_from_lib:libgstaudio-1.0.so\n"
         "called_from_lib:libgstplayback.so\n"
         "called_from_lib:liborc-0.4.so\n"
         "called_from_lib:libgdk_pixbuf-2.0.so\n"
         "called_from_lib:libsecret-1.so\n"
         "race:libglib-2.0.so\n"
         "race:libgio-2.0.so\n"
         "race:libgobject-2.0.so\n"
         "race:libgst\n"
         "mutex:libgst\n"
         "race:libgdk_pixbuf-2.0.so\n"
         "race:libsecret-1.so\n"
         "mutex:liborc-0.4.so\n"
         "mutex:libgdk_pixbuf-2.0.so\n";
}
