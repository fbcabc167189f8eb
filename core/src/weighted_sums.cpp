#include "korvane/weighted_sums.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <span>
#include <string>

#include "descent.hpp"
#include "korvane/error.hpp"
#include "korvane/in_bag.hpp"
#include "korvane/memory.hpp"
#include "korvane/pool.hpp"

namespace korvane {

namespace {

// Per leaf of one tree, the mean of each column of `values` over its recorded
// rows, summed in ascending row order: [leaf · k + j]. Empty leaves keep 0.
std::vector<double> leaf_means(const Forest<NoPayload>& forest, std::size_t b,
                               const MatrixView& values) {
  const std::size_t k = values.n_cols;
  const std::span<const std::uint32_t> sizes = forest.leaf_sizes[b];
  std::vector<double> means(sizes.size() * k, 0.0);
  forest.recorded_leaves(b).visit([&](auto codes, auto not_recorded) {
    for (std::size_t i = 0; i < codes.size(); ++i) {
      if (codes[i] == not_recorded) continue;
      for (std::size_t j = 0; j < k; ++j) means[codes[i] * k + j] += values.at(i, j);
    }
  });
  for (std::size_t leaf = 0; leaf < sizes.size(); ++leaf) {
    if (sizes[leaf] == 0) continue;
    for (std::size_t j = 0; j < k; ++j) means[leaf * k + j] /= static_cast<double>(sizes[leaf]);
  }
  return means;
}

// Checks the shapes and the memory of an output of `cells` doubles plus the
// leaf means and the descents for n_rows query rows, and computes the leaf
// means of every tree.
std::vector<std::vector<double>> prepare(const Forest<NoPayload>& forest, const MatrixView& values,
                                         std::size_t n_rows, std::uint64_t cells,
                                         const CallControl& control) {
  if (values.n_rows != forest.n_train_samples) {
    fail("values have " + std::to_string(values.n_rows) + " rows, not the " +
         std::to_string(forest.n_train_samples) + " training rows");
  }
  std::uint64_t n_leaves = 0;
  for (const auto& sizes : forest.leaf_sizes) n_leaves = saturating_add(n_leaves, sizes.size());
  const std::uint64_t means = saturating_mul(n_leaves, values.n_cols);
  reserve(saturating_add(saturating_mul(saturating_add(cells, means), sizeof(double)),
                         detail::descent_bytes(forest, n_rows)),
          "forest-weighted sums of " + std::to_string(values.n_cols) + " columns");
  return pool::parallel_map(forest.n_trees(), [&](std::size_t b) {
    control.check();
    return leaf_means(forest, b, values);
  });
}

// For each query row r, adds the terms of the trees b with use(r, b) into
// out[slot(r, b) · k ...] in tree order. Rows go in chunks that every tree
// descends in one task, then one task per row adds its terms.
template <class Use, class Slot>
void add_terms(const Forest<NoPayload>& forest, const MatrixView& x,
               const std::vector<std::vector<double>>& means, std::size_t k, std::span<double> out,
               const Use& use, const Slot& slot, const CallControl& control) {
  detail::for_each_chunk(
      forest, x, control,
      [&](std::size_t first, std::size_t count, std::span<const std::uint32_t> reached) {
        pool::parallel_for_each(count, [&](std::size_t i) {
          control.check();
          const std::size_t r = first + i;
          for (std::size_t b = 0; b < forest.n_trees(); ++b) {
            if (!use(r, b)) continue;
            const double* term = means[b].data() + std::size_t{reached[b * count + i]} * k;
            double* sum = out.data() + slot(r, b) * k;
            for (std::size_t j = 0; j < k; ++j) sum[j] += term[j];
          }
        });
      });
}

void divide(std::span<double> cells, double divisor) {
  for (double& cell : cells) cell /= divisor;
}

}  // namespace

std::vector<double> weighted_sums(const Forest<NoPayload>& forest, const MatrixView& x,
                                  const MatrixView& values, const CallControl& control) {
  const std::size_t k = values.n_cols;
  const auto means = prepare(forest, values, x.n_rows, saturating_mul(x.n_rows, k), control);
  std::vector<double> out(x.n_rows * k, 0.0);
  add_terms(
      forest, x, means, k, out, [](std::size_t, std::size_t) { return true; },
      [](std::size_t r, std::size_t) { return r; }, control);
  divide(out, static_cast<double>(forest.n_trees()));
  return out;
}

std::vector<double> oob_weighted_sums(const Forest<NoPayload>& forest, const MatrixView& x,
                                      const MatrixView& values, const CallControl& control) {
  const std::size_t n = forest.n_train_samples;
  if (x.n_rows != n) fail("x has " + std::to_string(x.n_rows) + " rows, not the training rows");
  const std::size_t k = values.n_cols;
  const auto means = prepare(forest, values, n, saturating_mul(n, k), control);
  const std::vector<std::uint32_t> drawn = in_bag(forest);
  std::vector<double> out(n * k, 0.0);
  add_terms(
      forest, x, means, k, out, [&](std::size_t r, std::size_t b) { return drawn[b * n + r] == 0; },
      [](std::size_t r, std::size_t) { return r; }, control);
  for (std::size_t i = 0; i < n; ++i) {
    std::size_t n_oob = 0;
    for (std::size_t b = 0; b < forest.n_trees(); ++b) n_oob += drawn[b * n + i] == 0 ? 1 : 0;
    const std::span<double> row(out.data() + i * k, k);
    divide(row, n_oob == 0 ? std::numeric_limits<double>::quiet_NaN() : static_cast<double>(n_oob));
  }
  return out;
}

std::vector<double> tree_weighted_sums(const Forest<NoPayload>& forest, const MatrixView& x,
                                       const MatrixView& values, const CallControl& control) {
  const std::size_t k = values.n_cols;
  const std::size_t n_trees = forest.n_trees();
  const auto means = prepare(forest, values, x.n_rows,
                             saturating_mul(saturating_mul(x.n_rows, n_trees), k), control);
  std::vector<double> out(x.n_rows * n_trees * k, 0.0);
  add_terms(
      forest, x, means, k, out, [](std::size_t, std::size_t) { return true; },
      [&](std::size_t r, std::size_t b) { return r * n_trees + b; }, control);
  return out;
}

}  // namespace korvane
