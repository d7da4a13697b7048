// A child program for the process tests (built as mornik_process_child):
//
//   chunks <piece>...      writes each piece, "o:<text>" to standard output or
//                          "e:<text>" to standard error (\xHH escapes allowed),
//                          and waits until the reader has taken it before the
//                          next, so every piece arrives as a chunk of its own;
//                          "x:<code>" exits with that code
//   flood <out> <err>      writes <out> bytes to standard output and <err> to
//                          standard error in alternating 64 KiB blocks; a
//                          stream with 0 bytes is closed first
#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>

#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

namespace {

std::string unescape(std::string_view text) {
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text.substr(i, 2) == "\\x" && i + 3 < text.size()) {
      bytes.push_back(
          static_cast<char>(std::stoi(std::string(text.substr(i + 2, 2)), nullptr, 16)));
      i += 3;
    } else {
      bytes.push_back(text[i]);
    }
  }
  return bytes;
}

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
      writeAll(fd, unescape(piece.substr(2)));
      waitUntilTaken(fd);
    }
    return 0;
  }
  if (mode == "flood" && argc == 4) {
    long left[2] = {std::atol(argv[2]), std::atol(argv[3])};
    if (left[0] == 0) ::close(1);
    if (left[1] == 0) ::close(2);
    const std::string block(64 * 1024, 'x');
    while (left[0] > 0 || left[1] > 0) {
      for (int i = 0; i < 2; ++i) {
        const long size = std::min<long>(left[i], static_cast<long>(block.size()));
        if (size > 0)
          writeAll(i + 1, std::string_view(block).substr(0, static_cast<std::size_t>(size)));
        left[i] -= size;
      }
    }
    return 0;
  }
  return 2;
}
