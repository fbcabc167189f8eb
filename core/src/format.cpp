#include "korvane/format.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace korvane {

namespace {

// The shortest round-trip digits of a finite, positive-or-zero magnitude and
// the decimal exponent of the first one: 1.5e-7 -> {"15", -7}.
struct Decimal {
  std::string digits;
  int exponent;
};

Decimal shortest_decimal(double magnitude) {
  // Scientific form always spells the shortest digits as d.ddd e±x, whatever
  // the magnitude, which fixed form does not: it writes every digit of the
  // exact binary value once that is shorter than the exponent form.
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific);
  const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
  const std::size_t e = text.find('e');
  Decimal decimal{std::string(text.substr(0, e)), 0};
  if (decimal.digits.size() > 1) decimal.digits.erase(1, 1);  // the point after the first digit
  std::from_chars(text.data() + e + 2, text.data() + text.size(), decimal.exponent);
  if (text[e + 1] == '-') decimal.exponent = -decimal.exponent;
  return decimal;
}

// The digits laid out in fixed notation: zeros pad the integer part or lead
// the fraction, and a point appears only before fraction digits.
std::string fixed_notation(const Decimal& decimal) {
  const auto n_digits = static_cast<int>(decimal.digits.size());
  if (decimal.exponent < 0) {
    return "0." + std::string(static_cast<std::size_t>(-decimal.exponent - 1), '0') +
           decimal.digits;
  }
  const int integer_digits = decimal.exponent + 1;
  if (integer_digits >= n_digits) {
    return decimal.digits + std::string(static_cast<std::size_t>(integer_digits - n_digits), '0');
  }
  return decimal.digits.substr(0, static_cast<std::size_t>(integer_digits)) + "." +
         decimal.digits.substr(static_cast<std::size_t>(integer_digits));
}

}  // namespace

std::string format_shortest(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  const std::string magnitude = fixed_notation(shortest_decimal(std::fabs(value)));
  return std::signbit(value) ? "-" + magnitude : magnitude;
}

std::string format_rows(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " row" : " rows");
}

}  // namespace korvane
