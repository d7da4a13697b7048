#include <string>

#include "mornik/ui/AttributedString.hpp"
#include "mornik/ui/Color.hpp"
#include "mornik/ui/Palettes.hpp"
#include "mornik/ui/Predicate.hpp"
#include "mornik/ui/Price.hpp"

#include "tour/Tour.hpp"

namespace tour {

void colours() {
  heading("Colours, styled text, predicates and prices");

  // Hexadecimal text in its many spellings, and what a colour prints as.
  const auto teal = mornik::Color::fromHexString("0x1abc9c");
  say("0x1abc9c is " + teal->hexString() + ", #ABC is " +
      mornik::Color::fromHexString("#ABC")->hexString() + ", #GGG is " +
      (mornik::Color::fromHexString("#GGG") ? "a colour" : "not a colour"));
  const mornik::Color mix =
      mornik::Color::blend(mornik::Material::red, 1, mornik::Material::indigo, 3);
  say("one part Material red, three parts indigo: " + mix.hexString() +
      ", lightened: " + mix.lighten(0.2).hexString() + ", stored as " + mornik::encodedText(mix));
  say("CSS rebeccaPurple " + mornik::CSS::rebeccaPurple.shortHexOrHexString() +
      ", Flat UI pumkin " + mornik::FlatUI::pumkin.hexString() + ", " +
      std::to_string(std::size(mornik::Material::all)) + " Material colours");

  // Styled text, shown by any GTK label through Pango markup.
  const mornik::AttributedString line =
      mornik::AttributedString("Total: 42 items <net>")
          .bolded()
          .applyingToRangesMatching({.foregroundColor = mornik::Material::red}, "[0-9]+");
  say("markup: " + line.pangoMarkup());

  const mornik::Predicate<int> big("SELF > 10", [](int v) { return v > 10; });
  const mornik::Predicate<int> even("SELF % 2 == 0", [](int v) { return v % 2 == 0; });
  const auto oddBig = big - even;
  say("\"" + oddBig.description() + "\" holds for 13: " + (oddBig(13) ? "yes" : "no"));

  const mornik::StoreProduct product{"pro", *mornik::Decimal::parse("1234.5"), "de_CH"};
  say("1234.5 in Switzerland: " + mornik::localizedPrice(product).value_or("(no currency)"));
}

}  // namespace tour
