// The tests' HTTP server runs in this process from Debian's compiled
// cpp-httplib, which is not built with ThreadSanitizer: its thread pool's
// hand-offs are invisible to it, and it reports races between the server's
// own threads. Reports from inside that library are its own; our client's
// races still report.
extern "C" __attribute__((used)) const char*
__tsan_default_suppressions() {  // NOLINT(bugprone-reserved-identifier)
  return "race:libcpp-httplib.so\n"
         "called_from_lib:libcpp-httplib.so\n";
}
