#include "korvane/tree.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "korvane/memory.hpp"

namespace korvane {

namespace {

// Conversion to an unsigned integer that saturates instead of overflowing:
// negative and NaN give 0.
template <class Unsigned>
Unsigned saturating_cast(double value) {
  if (!(value > 0.0)) return 0;
  if (value >= static_cast<double>(std::numeric_limits<Unsigned>::max())) {
    return std::numeric_limits<Unsigned>::max();
  }
  return static_cast<Unsigned>(value);
}

}  // namespace

std::uint32_t MaxFeatures::resolve(std::size_t p) const {
  // Without columns there is nothing to draw; every node then becomes a leaf.
  if (p == 0) return 0;
  std::uint64_t raw = p;
  if (kind == Kind::Fixed) raw = count;
  if (kind == Kind::Sqrt) raw = saturating_cast<std::uint32_t>(std::sqrt(static_cast<double>(p)));
  return static_cast<std::uint32_t>(std::clamp<std::uint64_t>(raw, 1, p));
}

std::size_t partition(const MatrixView& x, std::span<std::uint32_t> rows, std::uint32_t feature,
                      double threshold) {
  std::size_t i = 0;
  std::size_t end = rows.size();
  while (i < end) {
    if (x.at(rows[i], feature) <= threshold) {
      ++i;
    } else {
      --end;
      std::swap(rows[i], rows[end]);
    }
  }
  return i;
}

void shuffle_in_place(std::span<std::uint32_t> rows, ChaCha8Rng& stream) {
  for (std::size_t i = rows.size(); i-- > 1;) {
    const auto j = static_cast<std::size_t>(stream.random_range_inclusive(0, i));
    std::swap(rows[i], rows[j]);
  }
}

std::size_t honest_split_size(double fraction, std::size_t n) {
  const auto s = saturating_cast<std::size_t>(std::round(fraction * static_cast<double>(n)));
  return std::clamp<std::size_t>(s, 1, n - 1);
}

void add_cumulative_hazard(const Tree<StepFunction>& tree, const MatrixView& x,
                           std::span<const double> times, std::span<double> out) {
  const std::size_t k = times.size();
  // Ascending query times (the usual grid) let one forward walk over a leaf's
  // jumps replace a binary search per time; it finds the same jump for every time.
  const bool ascending = std::is_sorted(times.begin(), times.end()) &&
                         std::none_of(times.begin(), times.end(), [](double t) { return std::isnan(t); });
  for (std::size_t row = 0; row < x.n_rows; ++row) {
    const StepFunction& curve = tree.leaves[tree.predict_leaf(x, row)];
    double* out_row = out.data() + row * k;
    if (!ascending) {
      for (std::size_t j = 0; j < k; ++j) out_row[j] += curve.at_with(times[j]);
      continue;
    }
    std::size_t jumps = 0;  // jumps at or before the current time
    for (std::size_t j = 0; j < k; ++j) {
      while (jumps < curve.times.size() && !(curve.times[jumps] > times[j])) ++jumps;
      out_row[j] += jumps == 0 ? curve.initial_value : curve.values[jumps - 1];
    }
  }
}

std::size_t hazard_output_size(std::size_t n_rows, std::size_t n_times) {
  reserve(saturating_mul(saturating_mul(n_rows, n_times), sizeof(double)),
          "a cumulative hazard of " + std::to_string(n_rows) + " rows at " +
              std::to_string(n_times) + " times");
  return n_rows * n_times;
}

std::vector<double> predict_cumulative_hazard(const Tree<StepFunction>& tree, const MatrixView& x,
                                              std::span<const double> times) {
  std::vector<double> out(hazard_output_size(x.n_rows, times.size()), 0.0);
  add_cumulative_hazard(tree, x, times, out);
  return out;
}

}  // namespace korvane
