#include "mornik/base/Fatal.hpp"

#include <cstdio>
#include <cstdlib>

namespace mornik::detail {

void fatal(const char* message) noexcept {
  std::fprintf(stderr, "mornik: %s\n", message);
  std::fflush(stderr);
  std::abort();
}

}  // namespace mornik::detail
