#include "korvane/hazard.hpp"

#include <algorithm>
#include <cmath>

namespace korvane {

void add_cumulative_hazard(const Tree<StepFunction>& tree, const MatrixView& x,
                           std::span<const double> times, std::span<double> out) {
  const std::size_t k = times.size();
  // Ascending query times (the usual grid) let one forward walk over a leaf's
  // jumps replace a binary search per time; it finds the same jump for every time.
  const bool ascending =
      std::is_sorted(times.begin(), times.end()) &&
      std::none_of(times.begin(), times.end(), [](double t) { return std::isnan(t); });
  for (std::size_t row = 0; row < x.n_rows; ++row) {
    const StepFunction& curve = tree.leaves[tree.predict_leaf(x, row)];
    double* out_row = out.data() + row * k;
    if (!ascending) {
      for (std::size_t j = 0; j < k; ++j) out_row[j] += curve.value_at(times[j]);
      continue;
    }
    std::size_t jumps = 0;  // jumps at or before the current time
    for (std::size_t j = 0; j < k; ++j) {
      while (jumps < curve.times.size() && !(curve.times[jumps] > times[j])) ++jumps;
      out_row[j] += jumps == 0 ? curve.initial_value : curve.values[jumps - 1];
    }
  }
}

std::vector<double> predict_cumulative_hazard(const Tree<StepFunction>& tree, const MatrixView& x,
                                              std::span<const double> times) {
  std::vector<double> out(x.n_rows * times.size(), 0.0);
  add_cumulative_hazard(tree, x, times, out);
  return out;
}

std::vector<double> predict_cumulative_hazard(const Forest<StepFunction>& forest,
                                              const MatrixView& x, std::span<const double> times) {
  std::vector<double> out(x.n_rows * times.size(), 0.0);
  for (const Tree<StepFunction>& tree : forest.trees) add_cumulative_hazard(tree, x, times, out);
  const auto n_trees = static_cast<double>(forest.n_trees());
  for (double& value : out) value /= n_trees;
  return out;
}

}  // namespace korvane
