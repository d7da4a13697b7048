#include "mornik/ui/ErrorsViewModel.hpp"

#include <utility>

#include "mornik/text/StringUtils.hpp"

namespace mornik {

ErrorsViewModel::ErrorsViewModel(Passkey /*unused*/, std::shared_ptr<ErrorPool> pool)
    : recentError(*this, pool->recentError()->currentValue()), pool_(std::move(pool)) {
  startedWith_ = recentError.get();
}

std::shared_ptr<ErrorsViewModel> ErrorsViewModel::make(std::shared_ptr<ErrorPool> pool) {
  auto model = std::make_shared<ErrorsViewModel>(Passkey(), std::move(pool));
  // Registration replays the buffer. The replay is this handler's first
  // delivery: it is skipped when it brings the very error the model started
  // with (the buffer did not change in between). The one case this misjudges
  // needs the buffer cleared and that same error record appended again in
  // the instant between the read above and this registration; the model
  // then shows nothing new, as it already showed that error.
  model->pool_->recentError()->onUpdate(model, [](ErrorsViewModel& self, const Error& error) {
    const std::optional<Error> startedWith = std::exchange(self.startedWith_, std::nullopt);
    if (startedWith && startedWith->isIdenticalTo(error)) return;
    self.recentError = error;
  });
  return model;
}

std::string ErrorsViewModel::shortDescription() const {
  const std::optional<Error> error = recentError.get();
  if (!error) return {};
  return first(error->localizedDescription(), kShortLength);
}

void ErrorsViewModel::dismiss() {
  pool_->clearRecent();
  recentError = std::nullopt;
}

}  // namespace mornik
