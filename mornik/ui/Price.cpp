#include "mornik/ui/Price.hpp"

#include <array>
#include <cctype>
#include <utility>

#include <unicode/locid.h>
#include <unicode/numberformatter.h>
#include <unicode/ucurr.h>
#include <unicode/unistr.h>

namespace mornik {

std::optional<Decimal> Decimal::parse(std::string_view text) {
  std::string out;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    if (text[0] == '-') out = "-";
    text.remove_prefix(1);
  }
  const auto dot = text.find('.');
  const std::string_view whole = text.substr(0, dot);
  const std::string_view fraction =
      dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
  const auto allDigits = [](std::string_view s) {
    for (char c : s) {
      if (std::isdigit(static_cast<unsigned char>(c)) == 0) return false;
    }
    return true;
  };
  if (whole.empty() && fraction.empty()) return std::nullopt;
  if (!allDigits(whole) || !allDigits(fraction)) return std::nullopt;
  const auto firstSignificant = whole.find_first_not_of('0');
  out += firstSignificant == std::string_view::npos ? std::string_view("0")
                                                    : whole.substr(firstSignificant);
  if (dot != std::string_view::npos && !fraction.empty()) {
    out += '.';
    out += fraction;
  }
  return Decimal(std::move(out));
}

std::optional<std::string> localizedPrice(const StoreProduct& product) {
  const icu::Locale locale(product.priceLocale.c_str());
  if (locale.isBogus()) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  std::array<UChar, 4> currency{};
  const int32_t length = ucurr_forLocale(locale.getName(), currency.data(), 4, &status);
  if (U_FAILURE(status) || length != 3) return std::nullopt;
  // "XXX" is ICU's answer for a region without a currency (Antarctica).
  if (icu::UnicodeString(currency.data(), 3) == icu::UnicodeString(u"XXX")) return std::nullopt;
  const icu::CurrencyUnit unit(currency.data(), status);
  if (U_FAILURE(status)) return std::nullopt;
  const icu::UnicodeString formatted = icu::number::NumberFormatter::withLocale(locale)
                                           .unit(unit)
                                           .formatDecimal(product.price.text(), status)
                                           .toString(status);
  if (U_FAILURE(status)) return std::nullopt;
  std::string out;
  formatted.toUTF8String(out);
  return out;
}

}  // namespace mornik
