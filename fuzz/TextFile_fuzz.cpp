// Text files: decoding any bytes gives valid UTF-8 and leaves valid UTF-8
// (without a byte-order mark) as it is; streaming the bytes as lines gives
// them back in order (each line cut at its first NUL).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <sys/mman.h>
#include <unistd.h>

#include "mornik/files/File.hpp"
#include "mornik/files/FileStream.hpp"

#include "fuzz/Check.hpp"

using fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::string text = mornik::decodeText(bytes);
  check(mornik::decodeText(text) == text || text.starts_with("\xEF\xBB\xBF"));
  const bool bom = bytes.starts_with("\xEF\xBB\xBF") || bytes.starts_with("\xFF\xFE") ||
                   bytes.starts_with("\xFE\xFF");
  if (!bom && mornik::decodeText(bytes) == bytes) check(text == bytes);

  const int fd = ::memfd_create("lines", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size())) {
    auto stream = mornik::FileStream::make(mornik::asURL("/proc/self/fd/" + std::to_string(fd)));
    check(stream.has_value());
    std::size_t start = 0;
    while (auto line = stream->readLn()) {
      const std::size_t end = bytes.find('\n', start);
      const std::string whole =
          bytes.substr(start, end == std::string::npos ? std::string::npos : end + 1 - start);
      check(*line == std::string_view(whole).substr(0, whole.find('\0')));
      start += whole.size();
    }
    check(start == bytes.size());
  }
  ::close(fd);
  return 0;
}
