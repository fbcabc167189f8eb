#include "korvane/hazard.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <string>

#include "korvane/error.hpp"
#include "korvane/in_bag.hpp"
#include "korvane/pool.hpp"

namespace korvane {

namespace {

// Ascending query times (the usual grid) let one forward walk over a leaf's
// jumps replace a binary search per time; it finds the same jump for every time.
bool ascending(std::span<const double> times) {
  return std::is_sorted(times.begin(), times.end()) &&
         std::none_of(times.begin(), times.end(), [](double t) { return std::isnan(t); });
}

void add_curve(const StepFunction& curve, std::span<const double> times, bool times_ascending,
               double* out_row) {
  const std::size_t k = times.size();
  if (!times_ascending) {
    for (std::size_t j = 0; j < k; ++j) out_row[j] += curve.value_at(times[j]);
    return;
  }
  std::size_t jumps = 0;  // jumps at or before the current time
  for (std::size_t j = 0; j < k; ++j) {
    while (jumps < curve.times.size() && !(curve.times[jumps] > times[j])) ++jumps;
    out_row[j] += jumps == 0 ? curve.initial_value : curve.values[jumps - 1];
  }
}

// Training rows per pool task of the out-of-bag hazard.
constexpr std::size_t kOutOfBagBlock = 64;

// Divides each row of k sums by the number of trees that summed into it; a
// row without any becomes NaN.
void divide_by_counts(std::span<double> rows, std::span<const std::size_t> counts, std::size_t k) {
  for (std::size_t r = 0; r < counts.size(); ++r) {
    const double divisor =
        counts[r] == 0 ? std::numeric_limits<double>::quiet_NaN() : static_cast<double>(counts[r]);
    for (std::size_t j = 0; j < k; ++j) rows[r * k + j] /= divisor;
  }
}

}  // namespace

void add_cumulative_hazard(const Tree<StepFunction>& tree, const MatrixView& x,
                           std::span<const double> times, std::span<double> out) {
  const bool times_ascending = ascending(times);
  for (std::size_t row = 0; row < x.n_rows; ++row) {
    add_curve(tree.leaves[tree.predict_leaf(x, row)], times, times_ascending,
              out.data() + row * times.size());
  }
}

// Each row's sum runs over its out-of-bag trees in tree order, within one task,
// so the bits do not depend on the threads.
std::vector<double> oob_cumulative_hazard(const Forest<StepFunction>& forest, const MatrixView& x,
                                          std::span<const double> times) {
  const std::size_t n = forest.n_train_samples;
  if (x.n_rows != n) fail("x has " + std::to_string(x.n_rows) + " rows, not the training rows");
  const std::size_t k = times.size();
  if (k != 0 && n > SIZE_MAX / k) throw std::bad_alloc();
  const std::vector<std::uint32_t> drawn = in_bag(forest);
  const bool times_ascending = ascending(times);
  std::vector<double> out(n * k, 0.0);
  pool::parallel_for_each((n + kOutOfBagBlock - 1) / kOutOfBagBlock, [&](std::size_t block) {
    const std::size_t first = block * kOutOfBagBlock;
    const std::size_t last = std::min(n, first + kOutOfBagBlock);
    std::vector<std::size_t> n_oob(last - first, 0);
    for (std::size_t b = 0; b < forest.n_trees(); ++b) {
      const Tree<StepFunction>& tree = forest.trees[b];
      for (std::size_t row = first; row < last; ++row) {
        if (drawn[b * n + row] != 0) continue;
        add_curve(tree.leaves[tree.predict_leaf(x, row)], times, times_ascending,
                  out.data() + row * k);
        ++n_oob[row - first];
      }
    }
    divide_by_counts(std::span(out).subspan(first * k, (last - first) * k), n_oob, k);
  });
  return out;
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
