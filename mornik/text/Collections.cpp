#include "mornik/text/Collections.hpp"

namespace mornik::detail {

std::mt19937_64& threadRandomGenerator() {
  thread_local std::mt19937_64 generator{std::random_device{}()};
  return generator;
}

}  // namespace mornik::detail
