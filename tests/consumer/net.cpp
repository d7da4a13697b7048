// Built against an installed mornik-net by scripts/check-install.sh: the
// libcurl client is the default, and the spreadsheet client refuses an
// address that does not parse before any traffic.
#include <cstdio>

#include "mornik/net/GSheets.hpp"
#include "mornik/platform/HttpClient.hpp"

int main() {
  mornik::useNetAdapters();
  if (mornik::HttpClient::forDesktop().isFailure()) return 1;
  bool refused = false;
  mornik::GSheets::make("key")->fetch("sheet", "a page", "A1", [&](const auto& block) {
    refused = block.isFailure() && block.error().domain() == "Invalid URL";
  });
  if (!refused) return 1;
  std::printf("net consumer: ok\n");
  return 0;
}
