#include "mornik/flow/signal/SignalsService.hpp"

#include "mornik/concurrency/LockedVar.hpp"

namespace mornik::Flow {

namespace {

LockedVar<std::shared_ptr<SignalsService>>& sharedService() {
  static LockedVar<std::shared_ptr<SignalsService>> service;
  return service;
}

}  // namespace

std::shared_ptr<SignalsService> SignalsService::shared() {
  return sharedService().access([](std::shared_ptr<SignalsService>& service) {
    if (!service) service = make(DispatchQueue::global());
    return service;
  });
}

void SignalsService::setShared(std::shared_ptr<SignalsService> service) {
  // The previous hub is released outside the lock.
  std::shared_ptr<SignalsService> previous = sharedService().access(
      [&](std::shared_ptr<SignalsService>& current) { return std::exchange(current, service); });
}

}  // namespace mornik::Flow
