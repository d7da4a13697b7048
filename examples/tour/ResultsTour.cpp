#include <optional>
#include <string>
#include <vector>

#include "mornik/base/Result.hpp"
#include "mornik/base/ResultCollections.hpp"

#include "tour/Tour.hpp"

namespace tour {

namespace {

mornik::Result<int> parsePort(const std::string& text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
    return mornik::WTF("not a port number: " + text, 22);
  }
  const int port = std::stoi(text);
  if (port > 65535) return mornik::WTF("port out of range: " + text, 34);
  return port;
}

}  // namespace

void results() {
  using mornik::operator|;
  heading("Results and errors");

  // A chain: parse, check, describe. A failure skips the rest of the chain.
  auto unprivileged = [](int port) -> mornik::Result<int> {
    if (port < 1024) return mornik::WTF("privileged port: " + std::to_string(port), 13);
    return port;
  };
  for (const std::string input : {"8080", "80a", "99999", "22"}) {
    const auto described = parsePort(input) | unprivileged |
                           [](int port) { return "listening on " + std::to_string(port); };
    say(input + " -> " +
        (described.isSuccess() ? described.value() : described.error().detailedDescription()));
  }

  // ifError replaces one kind of failure with a fallback.
  const auto withDefault = parsePort("99999").ifError(34, [] { return mornik::Result<int>(443); });
  say("out of range falls back to " + std::to_string(withDefault.value()));

  // Walks over collections: stop at the first failure, or catch them all.
  const std::vector<std::string> inputs{"22", "x", "443", "70000"};
  const auto all = mornik::flatMap(inputs, parsePort);
  say("all ports: " + (all.isSuccess() ? std::string("ok") : all.error().descriptionTitle()));
  const auto caught = mornik::flatMapCatch(inputs, parsePort);
  say("valid ports: " + mornik::describe(caught.results) +
      ", rejected: " + std::to_string(caught.errors.size()));

  // combine() waits for every value; optionals become results.
  const auto pair = mornik::combine(parsePort("80"), parsePort("443"));
  say("combined: " + mornik::describe(pair.value()));
  const std::optional<double> missing;
  say(mornik::asNonOptional(missing, "ratio").error().localizedDescription());
  say("multi-line error:\n" + mornik::WTF("disk full", 28).detailedDescription_MultiLine());
}

}  // namespace tour
