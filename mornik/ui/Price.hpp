#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

// The price of a product in a store, and its text for the buyer.
//
//   auto price = mornik::Decimal::parse("1234.5");
//   mornik::StoreProduct product{"pro.upgrade", *price, "de_DE"};
//   mornik::localizedPrice(product);           // "1.234,50 €"
//
// Thread safety: values; localizedPrice() may be called from any thread.

namespace mornik {

// A decimal number kept as its digits, so that a price such as 0.10 is
// exact (a binary double cannot hold it).
class Decimal {
 public:
  // Zero.
  Decimal() = default;
  // An optional "-" or "+", digits, and optionally "." and more digits (at
  // least one digit in all); nothing for anything else (blanks, exponents,
  // separators). The text is kept without "+" and without leading zeros.
  static std::optional<Decimal> parse(std::string_view text);
  const std::string& text() const { return text_; }
  friend bool operator==(const Decimal&, const Decimal&) = default;

 private:
  explicit Decimal(std::string text) : text_(std::move(text)) {}
  std::string text_ = "0";
};

struct StoreProduct {
  std::string identifier;
  Decimal price;
  // An ICU locale id such as "en_US", "de_CH" or "ja_JP@currency=USD": its
  // region (or the currency keyword) names the currency.
  std::string priceLocale;
};

// The price formatted as currency in the product's price locale ("$9.99",
// "9,99 €"); nothing when the locale names no currency (no region, an
// unknown region, a region without a currency).
std::optional<std::string> localizedPrice(const StoreProduct& product);

}  // namespace mornik

MORNIK_EXPORTS_END
