#include <cstdlib>
#include <string>
#include <vector>

#include "mornik/platform/Pasteboard.hpp"
#include "mornik/platform/detail/DesktopFactories.hpp"
#include "mornik/platform/detail/Tools.hpp"

namespace mornik {

// The Wayland clipboard, through the wl-copy and wl-paste programs.
namespace {

constexpr double kToolTimeout = 5.0;

bool environmentSet(const char* name) {
  const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): read only
  return value != nullptr && *value != '\0';
}

class WaylandPasteboard final : public Pasteboard {
 public:
  Result<void> clearContents() override { return run({"wl-copy", "--clear"}, {}).asVoid(); }
  Result<void> setData(std::string_view type, Bytes bytes) override {
    // wl-copy reads everything, then serves it from a background process.
    return run({"wl-copy", "--type", std::string(type)},
               std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()))
        .asVoid();
  }
  std::optional<Bytes> data(std::string_view type) const override {
    auto pasted = run({"wl-paste", "--no-newline", "--type", std::string(type)}, {});
    if (pasted.isFailure()) return std::nullopt;
    const std::string& output = pasted.value().output;
    return Bytes(output.begin(), output.end());
  }
  std::vector<std::string> types() const override {
    auto listed = run({"wl-paste", "--list-types"}, {});
    std::vector<std::string> all;
    if (listed.isFailure()) return all;
    std::string_view rest = listed.value().output;
    while (!rest.empty()) {
      const std::size_t end = rest.find('\n');
      if (end != 0) all.emplace_back(rest.substr(0, end));
      rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    return all;
  }

 private:
  // The tool's output when it succeeded, else a failure naming it.
  static Result<detail::ChildOutput> run(const std::vector<std::string>& argv,
                                         std::string_view input) {
    auto ran = detail::runChild(argv, input, kToolTimeout);
    if (ran.isSuccess() && ran.value().exitCode != 0) {
      return WTF(argv.front() + " failed with exit code " + std::to_string(ran.value().exitCode),
                 0);
    }
    return ran;
  }
};

}  // namespace

Result<std::shared_ptr<Pasteboard>> Pasteboard::makeWayland() {
  if (!detail::findProgram("wl-copy")) return WTF("wl-copy is not installed", 0);
  return std::shared_ptr<Pasteboard>(std::make_shared<WaylandPasteboard>());
}

Result<std::shared_ptr<Pasteboard>> detail::desktopPasteboard() {
  if (environmentSet("WAYLAND_DISPLAY") && detail::findProgram("wl-copy")) {
    return Pasteboard::makeWayland();
  }
  if (environmentSet("DISPLAY")) return Pasteboard::makeX11();
  return WTF("no display: neither WAYLAND_DISPLAY nor DISPLAY is set", 0);
}

}  // namespace mornik
