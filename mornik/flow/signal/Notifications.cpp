#include "mornik/flow/signal/Notifications.hpp"

#include "mornik/concurrency/LockedVar.hpp"

namespace mornik::Flow {

namespace {

LockedVar<std::shared_ptr<Notifications>>& mainHub() {
  static LockedVar<std::shared_ptr<Notifications>> hub;
  return hub;
}

}  // namespace

std::shared_ptr<Notifications> Notifications::main() {
  return mainHub().access([](std::shared_ptr<Notifications>& hub) {
    if (!hub) hub = make();
    return hub;
  });
}

void Notifications::setMain(std::shared_ptr<Notifications> hub) {
  // The previous hub is released outside the lock.
  std::shared_ptr<Notifications> previous = mainHub().access(
      [&](std::shared_ptr<Notifications>& current) { return std::exchange(current, hub); });
}

}  // namespace mornik::Flow
