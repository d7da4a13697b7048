#include "mornik/platform/Pasteboard.hpp"

#include <cstdlib>
#include <utility>

#include "mornik/concurrency/LockedVar.hpp"
#include "mornik/concurrency/LockingProtocol.hpp"
#include "mornik/platform/detail/Spawn.hpp"

namespace mornik {

namespace {

LockedVar<std::shared_ptr<Pasteboard>>& installed() {
  static LockedVar<std::shared_ptr<Pasteboard>> pasteboard{nullptr};
  return pasteboard;
}

bool environmentSet(const char* name) {
  const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): read only
  return value != nullptr && *value != '\0';
}

}  // namespace

Result<void> Pasteboard::setString(std::string_view text) {
  return setData(kPlainText, Bytes(text.begin(), text.end()));
}

std::optional<std::string> Pasteboard::string() const {
  std::optional<Bytes> bytes = data(kPlainText);
  if (!bytes) return std::nullopt;
  return std::string(bytes->begin(), bytes->end());
}

std::shared_ptr<Pasteboard> Pasteboard::general() {
  if (auto current = installed().read()) return current;
  // Chosen outside the lock (opening a display takes a while); the first
  // installation wins.
  Result<std::shared_ptr<Pasteboard>> desktop = forDesktop();
  std::shared_ptr<Pasteboard> chosen =
      desktop.isSuccess() ? desktop.value() : std::make_shared<MemoryPasteboard>();
  return installed().access([&](std::shared_ptr<Pasteboard>& current) {
    if (!current) current = chosen;
    return current;
  });
}

void Pasteboard::setGeneral(std::shared_ptr<Pasteboard> pasteboard) {
  if (!pasteboard) pasteboard = std::make_shared<MemoryPasteboard>();
  // The previous pasteboard is released outside the lock.
  std::shared_ptr<Pasteboard> previous =
      installed().access([&](std::shared_ptr<Pasteboard>& current) {
        return std::exchange(current, std::move(pasteboard));
      });
}

Result<std::shared_ptr<Pasteboard>> Pasteboard::forDesktop() {
  if (environmentSet("WAYLAND_DISPLAY") && detail::findProgram("wl-copy")) return makeWayland();
  if (environmentSet("DISPLAY")) return makeX11();
  return WTF("no display: neither WAYLAND_DISPLAY nor DISPLAY is set", 0);
}

Result<void> MemoryPasteboard::clearContents() {
  detail::ScopedLock<UnfairLock> guard(lock_);
  contents_.clear();
  ++clears_;
  return {};
}

Result<void> MemoryPasteboard::setData(std::string_view type, Bytes bytes) {
  detail::ScopedLock<UnfairLock> guard(lock_);
  contents_.insert_or_assign(std::string(type), std::move(bytes));
  return {};
}

std::optional<Pasteboard::Bytes> MemoryPasteboard::data(std::string_view type) const {
  detail::ScopedLock<UnfairLock> guard(lock_);
  auto found = contents_.find(type);
  if (found == contents_.end()) return std::nullopt;
  return found->second;
}

std::vector<std::string> MemoryPasteboard::types() const {
  detail::ScopedLock<UnfairLock> guard(lock_);
  std::vector<std::string> all;
  for (const auto& [type, bytes] : contents_) all.push_back(type);
  return all;
}

int MemoryPasteboard::clearCount() const {
  detail::ScopedLock<UnfairLock> guard(lock_);
  return clears_;
}

// ---- Wayland: wl-copy and wl-paste ----

namespace {

constexpr double kToolTimeout = 5.0;

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

}  // namespace mornik
