#include "korvane/sample_weights.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "korvane/error.hpp"

namespace korvane {

namespace {

// Bits of the rounded weights' grid below the binary exponent of the total:
// every partial sum is then a whole multiple of the grid below 2^52, exact in
// a double, with room for the rounding of up to 2^32 rows.
constexpr int kGridBits = 51;

double checked_total(std::span<const double> weight) {
  double total = 0.0;
  for (std::size_t i = 0; i < weight.size(); ++i) {
    if (!(std::isfinite(weight[i]) && weight[i] >= 0.0)) {
      fail("weight " + std::to_string(i) + " is not a finite number >= 0");
    }
    total += weight[i];
  }
  if (!(total > 0.0) || !std::isfinite(total)) fail("the weights have no finite positive total");
  return total;
}

}  // namespace

RowWeights::RowWeights(std::span<const double> weight) : values_(weight.size()) {
  int exponent = 0;
  std::frexp(checked_total(weight), &exponent);  // total < 2^exponent
  // Scaling by powers of two is exact, so only the rounding to the grid moves
  // a weight.
  for (std::size_t i = 0; i < weight.size(); ++i) {
    const double units = std::nearbyint(std::ldexp(weight[i], kGridBits - exponent));
    values_[i] = std::ldexp(units, exponent - kGridBits);
  }
  kept_ = positive_rows(values_);
}

bool sums_exactly(std::span<const double> weight) {
  double total = 0.0;
  for (const double w : weight) total += w;
  int exponent = 0;
  std::frexp(total, &exponent);
  return std::all_of(weight.begin(), weight.end(), [&](double w) {
    const double units = std::ldexp(w, kGridBits + 1 - exponent);
    return units == std::nearbyint(units);
  });
}

std::vector<std::uint32_t> positive_rows(std::span<const double> weight) {
  std::vector<std::uint32_t> rows;
  for (std::size_t i = 0; i < weight.size(); ++i) {
    if (weight[i] > 0.0) rows.push_back(static_cast<std::uint32_t>(i));
  }
  return rows;
}

}  // namespace korvane
