#pragma once

#include <limits>

namespace korvane::detail {

// Conversion to an unsigned integer that saturates instead of overflowing:
// negative and NaN give 0.
template <class Unsigned>
[[nodiscard]] Unsigned saturating_cast(double value) {
  if (!(value > 0.0)) return 0;
  if (value >= static_cast<double>(std::numeric_limits<Unsigned>::max())) {
    return std::numeric_limits<Unsigned>::max();
  }
  return static_cast<Unsigned>(value);
}

}  // namespace korvane::detail
