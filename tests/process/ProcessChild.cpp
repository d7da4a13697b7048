// A child program for the process tests (built as mornik_process_child):
//
//   chunks <piece>...  writes each piece, "o:<text>" to standard output or
//                      "e:<text>" to standard error (any bytes but NUL), and
//                      waits until the reader has taken it before the next, so
//                      every piece arrives as a chunk of its own; "x:<code>"
//                      exits with that code
#include <cstdlib>
#include <string>
#include <string_view>

#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

namespace {

void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t wrote = ::write(fd, bytes.data(), bytes.size());
    if (wrote <= 0) std::exit(3);
    bytes.remove_prefix(static_cast<std::size_t>(wrote));
  }
}

void waitUntilTaken(int fd) {
  const timespec pause{0, 1'000'000};
  for (int pending = 1; ::ioctl(fd, FIONREAD, &pending) == 0 && pending > 0;)
    ::nanosleep(&pause, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view mode = argc > 1 ? argv[1] : "";
  if (mode == "chunks") {
    for (int i = 2; i < argc; ++i) {
      const std::string_view piece = argv[i];
      if (piece.starts_with("x:")) return std::atoi(argv[i] + 2);
      const int fd = piece.starts_with("e:") ? 2 : 1;
      writeAll(fd, piece.substr(2));
      waitUntilTaken(fd);
    }
    return 0;
  }
  return 2;
}
