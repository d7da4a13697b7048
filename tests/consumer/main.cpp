// Built against an installed mornik by scripts/check-install.sh.
#include <cstdio>

#include "mornik/base/Result.hpp"
#include "mornik/concurrency/LockedVar.hpp"
#include "mornik/flow/future/Future.hpp"

int main() {
  mornik::LockedVar<int> counter(1);
  counter.access([](int& n) { n += 41; });
  const mornik::Result<int> answer = counter.read();
  if (answer.value() != 42) return 1;
  const auto future = mornik::Flow::Future<int>::make([] { return mornik::Result<int>(7); });
  if (future->wait().value() != 7) return 1;
  std::puts("consumer: ok");
  return 0;
}
