#include "mornik/ui/ErrorsView.hpp"

#include <optional>
#include <utility>

#include "mornik/text/StringUtils.hpp"

namespace mornik {

ErrorsView::ErrorsView(std::shared_ptr<ErrorsViewModel> model,
                       std::shared_ptr<Pasteboard> clipboard)
    : model_(std::move(model)), clipboard_(std::move(clipboard)) {}

bool ErrorsView::showsError() const { return model_->recentError.get().has_value(); }

std::vector<ErrorsView::Run> ErrorsView::label() const {
  const std::optional<Error> error = model_->recentError.get();
  if (!error) return {};
  // shortDescription() of this very error, so that the label is built from
  // one reading of the model.
  const std::string& description = error->localizedDescription();
  std::string shown =
      static_cast<std::ptrdiff_t>(count(description)) < ErrorsViewModel::kShortLength
          ? description
          : first(description, ErrorsViewModel::kShortLength) + std::string(kEllipsis);
  return {Run{std::string(kErrorPrefix), Weight::bold, Color::red},
          Run{std::move(shown), Weight::regular, Color::primary},
          Run{std::string(kMarker), Weight::ultraLight, Color::primary}};
}

std::string ErrorsView::labelText() const {
  std::string text;
  for (const Run& run : label()) text += run.text;
  return text;
}

std::string ErrorsView::popoverText() const {
  const std::optional<Error> error = model_->recentError.get();
  return error ? error->detailedDescription_MultiLine() : std::string();
}

void ErrorsView::copyDescription() const {
  const std::optional<Error> error = model_->recentError.get();
  if (!error) return;
  // A button's action has nobody to report to: a clipboard that refuses the
  // text leaves it as it was.
  if (clipboard_->clearContents().isSuccess()) {
    (void)clipboard_->setString(error->detailedDescription_MultiLine());
  }
}

void ErrorsView::dismiss() const { model_->dismiss(); }

ErrorsView errorView(const Flow::Pool& pool, std::shared_ptr<Pasteboard> clipboard) {
  return ErrorsView(ErrorsViewModel::make(pool.errorPool()), std::move(clipboard));
}

}  // namespace mornik
