// Built against an installed mornik by scripts/check-install.sh.
#include <cstdio>
#include <string>
#include <string_view>
#include <system_error>

#include "mornik/base/Output.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/concurrency/LockedVar.hpp"
#include "mornik/flow/future/Future.hpp"
#include "mornik/platform/Workspace.hpp"
#include "mornik/version.hpp"

static_assert(MORNIK_VERSION_AT_LEAST(0, 1, 0));

int main() {
  mornik::LockedVar<int> counter(1);
  counter.access([](int& n) { n += 41; });
  const mornik::Result<int> answer = counter.read();
  if (answer.value() != 42) return 1;
  const auto future = mornik::Flow::Future<int>::make([] { return mornik::Result<int>(7); });
  if (future->wait().value() != 7) return 1;
  std::string printed;
  mornik::setOutputSink([&](std::string_view line) { printed = line; });
  (void)answer.dump();
  mornik::setOutputSink(nullptr);
  if (printed != "content: 42") return 1;
  // Without the desktop library a desktop request fails, and says why.
  const auto opened = mornik::Workspace::shared()->open(mornik::URL::fileURL("/tmp"));
  if (!opened.isFailure() || !opened.error().is(std::errc::function_not_supported)) return 1;
  std::printf("%s\n", opened.error().localizedDescription().c_str());
  std::printf("consumer: ok (mornik %s)\n", MORNIK_VERSION_STRING);
  return 0;
}
