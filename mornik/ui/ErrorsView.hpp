#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mornik/base/Export.hpp"
#include "mornik/flow/pool/Pool.hpp"
#include "mornik/platform/Pasteboard.hpp"
#include "mornik/ui/ErrorsViewModel.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// The small error view of a pool, as a presentation model: everything the
// view shows and does, for any toolkit to render, and for tests to drive.
//
//   mornik::ErrorsView view = mornik::errorView(*pool);
//   mornik::Subscription s = view.model()->objectWillChange().subscribe([&] { render(view); });
//   if (view.showsError()) {
//     for (const auto& run : view.label()) drawText(run);   // "Error: " ... "^"
//     onClick([&] { view.toggle(); });
//     if (view.isPopoverShown()) {
//       drawMultiLine(view.popoverText());    // click: view.copyDescription()
//       drawButton(mornik::ErrorsView::kDismissTitle);  // click: view.dismiss()
//     }
//   }
//
// What it shows, while the model has an error: a plain button whose label is
// "Error: " in bold red, then the error's localized description if it is
// shorter than 100 characters, else the model's shortDescription() followed
// by "...", then "^" in ultra-light weight. The button toggles a popover
// (isPresented, initially false). The popover shows, scrollable, the error's
// multi-line detailed description as a plain button that copies that text
// to the clipboard (clearing it first), and a "Dismiss" button that calls
// the model's dismiss(). Without an error the view shows nothing, and so no
// popover either, whatever isPresented says.
//
// A view is a small value: copies share the model and the clipboard but
// each has its own presentation flag. A renderer observes the model's
// objectWillChange() and reads the view again.
//
// Thread safety: use a view from one thread at a time (the main thread, as
// a user interface does).
class ErrorsView {
 public:
  enum class Weight { regular, bold, ultraLight };
  enum class Color { primary, red };

  // One piece of the label, with its style.
  struct Run {
    std::string text;
    Weight weight = Weight::regular;
    Color color = Color::primary;
    friend bool operator==(const Run&, const Run&) = default;
  };

  static constexpr std::string_view kErrorPrefix = "Error: ";
  static constexpr std::string_view kEllipsis = "...";
  static constexpr std::string_view kMarker = "^";
  static constexpr std::string_view kDismissTitle = "Dismiss";

  // A view over `model` whose copy action writes to `clipboard`.
  explicit ErrorsView(std::shared_ptr<ErrorsViewModel> model,
                      std::shared_ptr<Pasteboard> clipboard = Pasteboard::general());

  const std::shared_ptr<ErrorsViewModel>& model() const noexcept { return model_; }

  // Whether the view shows its button: the model has an error.
  bool showsError() const;

  // The button's label, piece by piece (prefix, description, marker); empty
  // without an error.
  std::vector<Run> label() const;
  // The label's pieces joined, as plain text.
  std::string labelText() const;

  // The popover's presentation flag.
  bool isPresented() const noexcept { return isPresented_; }
  void setPresented(bool presented) noexcept { isPresented_ = presented; }
  // The button's action: shows the popover, or hides it.
  void toggle() noexcept { isPresented_ = !isPresented_; }
  // Whether the popover is on screen: presented while an error is shown.
  bool isPopoverShown() const { return isPresented_ && showsError(); }

  // The popover's text: the error's multi-line detailed description; empty
  // without an error.
  std::string popoverText() const;
  // The popover text's action: clears the clipboard, then puts the text on
  // it as plain text. Does nothing without an error.
  void copyDescription() const;
  // The "Dismiss" button's action: the model's dismiss().
  void dismiss() const;

 private:
  std::shared_ptr<ErrorsViewModel> model_;
  std::shared_ptr<Pasteboard> clipboard_;
  bool isPresented_ = false;
};

// The error view of `pool`: a new view model of the pool's error pool,
// popover not presented, copying to `clipboard` (by default the general one).
ErrorsView errorView(const Flow::Pool& pool,
                     std::shared_ptr<Pasteboard> clipboard = Pasteboard::general());

}  // namespace mornik

MORNIK_EXPORTS_END
