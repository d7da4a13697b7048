// ThreadSanitizer cannot see the synchronisation inside GLib and Qt (they
// are not built with it): reports from calls those libraries make are
// theirs. Our code's own races still report. The sanitizer's runtime looks
// the function up by name, so it must be emitted though nothing calls it.
extern "C" __attribute__((used)) const char*
__tsan_default_suppressions() {  // NOLINT(bugprone-reserved-identifier)
  return "called_from_lib:libglib-2.0.so\n"
         "called_from_lib:libgio-2.0.so\n"
         "called_from_lib:libgobject-2.0.so\n"
         "called_from_lib:libQt6Core.so\n"
         "race:libglib-2.0.so\n"
         "race:libgio-2.0.so\n"
         "race:libgobject-2.0.so\n"
         "race:libQt6Core.so\n";
}
