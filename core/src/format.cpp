#include "korvane/format.hpp"

#include <charconv>
#include <cmath>

namespace korvane {

std::string format_shortest(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  // Fixed notation without a precision is the shortest round-trip in that form.
  char buffer[512];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  return {buffer, result.ptr};
}

}  // namespace korvane
