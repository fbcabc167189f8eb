#include "korvane/hazard.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "korvane/error.hpp"
#include "korvane/in_bag.hpp"
#include "korvane/memory.hpp"
#include "korvane/pool.hpp"

namespace korvane {

namespace {

// Ascending query times (the usual grid) let one forward walk over a leaf's
// jumps replace a binary search per time; it finds the same jump for every time.
bool ascending_times(std::span<const double> times) {
  return std::is_sorted(times.begin(), times.end()) &&
         std::none_of(times.begin(), times.end(), [](double t) { return std::isnan(t); });
}

// The query times' positions in a table of curve times, found once per table
// (a forest's trees share one) rather than per curve: curves are then read by
// comparing table indices (StepCurve::value_before).
class QueryPositions {
 public:
  explicit QueryPositions(std::span<const double> times)
      : times_(times), ascending_(ascending_times(times)) {}

  [[nodiscard]] bool ascending() const { return ascending_; }
  [[nodiscard]] std::span<const std::uint32_t> in(const TimeTable& table) {
    if (!found_ || table != table_) {
      const std::span<const double> entries =
          table ? std::span<const double>(*table) : std::span<const double>();
      positions_.resize(times_.size());
      for (std::size_t j = 0; j < times_.size(); ++j) {
        positions_[j] = static_cast<std::uint32_t>(searchsorted_right(entries, times_[j]));
      }
      table_ = table;
      found_ = true;
    }
    return positions_;
  }

 private:
  std::span<const double> times_;
  bool ascending_;
  bool found_ = false;
  TimeTable table_;
  std::vector<std::uint32_t> positions_;
};

void add_curve(const StepCurve& curve, std::span<const std::uint32_t> positions,
               bool times_ascending, double* out_row) {
  const std::size_t k = positions.size();
  if (!times_ascending) {
    for (std::size_t j = 0; j < k; ++j) out_row[j] += curve.value_before(positions[j]);
    return;
  }
  std::size_t jumps = 0;  // jumps at or before the current time
  for (std::size_t j = 0; j < k; ++j) {
    while (jumps < curve.size() && curve.time_index[jumps] < positions[j]) ++jumps;
    out_row[j] += jumps == 0 ? 0.0 : curve.values[jumps - 1];
  }
}

void add_tree_hazard(const Tree<StepFunction>& tree, const MatrixView& x, QueryPositions& positions,
                     std::span<double> out) {
  const std::span<const std::uint32_t> at = positions.in(tree.leaves.table);
  for (std::size_t row = 0; row < x.n_rows; ++row) {
    add_curve(tree.leaves[tree.predict_leaf(x, row)], at, positions.ascending(),
              out.data() + row * at.size());
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
  QueryPositions positions(times);
  add_tree_hazard(tree, x, positions, out);
}

namespace {

// Query rows per pool task. Each task walks every tree, so blocks are large:
// with 256 rows a forest's nodes and leaves were read from memory so often
// that a prediction took 2.5 times the processor time of one pass per tree.
// The stop request is checked per tree, so the block size does not delay it.
constexpr std::size_t kRowBlock = 4096;

MatrixView rows_of(const MatrixView& x, std::size_t first, std::size_t count) {
  return {x.base + static_cast<std::ptrdiff_t>(first) * x.row_stride, count, x.n_cols, x.row_stride,
          x.col_stride};
}

// rows(x) × n_times zeros, each block of rows then filled by
// add(rows of the block, their part of the output) as one pool task. Every
// element is written by one task only, so the result does not depend on
// scheduling.
template <class AddBlock>
std::vector<double> hazard_by_blocks(const MatrixView& x, std::size_t n_times,
                                     const CallControl& control, AddBlock&& add) {
  reserve(saturating_mul(saturating_mul(x.n_rows, n_times), sizeof(double)),
          "a cumulative hazard of " + std::to_string(x.n_rows) + " rows at " +
              std::to_string(n_times) + " times");
  std::vector<double> out(x.n_rows * n_times, 0.0);
  const std::size_t n_blocks = (x.n_rows + kRowBlock - 1) / kRowBlock;
  pool::parallel_for_each(n_blocks, [&](std::size_t block) {
    control.check();
    const std::size_t first = block * kRowBlock;
    const std::size_t count = std::min(kRowBlock, x.n_rows - first);
    add(rows_of(x, first, count), std::span(out).subspan(first * n_times, count * n_times));
  });
  return out;
}

}  // namespace

std::vector<double> predict_cumulative_hazard(const Tree<StepFunction>& tree, const MatrixView& x,
                                              std::span<const double> times,
                                              const CallControl& control) {
  return hazard_by_blocks(x, times.size(), control,
                          [&](const MatrixView& rows, std::span<double> out) {
                            add_cumulative_hazard(tree, rows, times, out);
                          });
}

// Each element is summed in tree order, as one pass per tree over all rows
// would sum it, and divided once.
std::vector<double> predict_cumulative_hazard(const Forest<StepFunction>& forest,
                                              const MatrixView& x, std::span<const double> times,
                                              const CallControl& control) {
  const auto n_trees = static_cast<double>(forest.n_trees());
  return hazard_by_blocks(x, times.size(), control,
                          [&](const MatrixView& rows, std::span<double> out) {
                            QueryPositions positions(times);
                            for (const Tree<StepFunction>& tree : forest.trees) {
                              control.check();
                              add_tree_hazard(tree, rows, positions, out);
                            }
                            for (double& value : out) value /= n_trees;
                          });
}

// Each row's sum runs over its out-of-bag trees in tree order, within one task,
// so the bits do not depend on the threads.
std::vector<double> oob_cumulative_hazard(const Forest<StepFunction>& forest, const MatrixView& x,
                                          std::span<const double> times,
                                          const CallControl& control) {
  const std::size_t n = forest.n_train_samples;
  if (x.n_rows != n) fail("x has " + std::to_string(x.n_rows) + " rows, not the training rows");
  const std::size_t k = times.size();
  reserve(saturating_mul(saturating_mul(n, k), sizeof(double)),
          "an out-of-bag cumulative hazard of " + std::to_string(n) + " rows at " +
              std::to_string(k) + " times");
  const std::vector<std::uint32_t> drawn = in_bag(forest);
  std::vector<double> out(n * k, 0.0);
  pool::parallel_for_each((n + kOutOfBagBlock - 1) / kOutOfBagBlock, [&](std::size_t block) {
    const std::size_t first = block * kOutOfBagBlock;
    const std::size_t last = std::min(n, first + kOutOfBagBlock);
    std::vector<std::size_t> n_oob(last - first, 0);
    QueryPositions positions(times);
    for (std::size_t b = 0; b < forest.n_trees(); ++b) {
      control.check();
      const Tree<StepFunction>& tree = forest.trees[b];
      const std::span<const std::uint32_t> at = positions.in(tree.leaves.table);
      for (std::size_t row = first; row < last; ++row) {
        if (drawn[b * n + row] != 0) continue;
        add_curve(tree.leaves[tree.predict_leaf(x, row)], at, positions.ascending(),
                  out.data() + row * k);
        ++n_oob[row - first];
      }
    }
    divide_by_counts(std::span(out).subspan(first * k, (last - first) * k), n_oob, k);
  });
  return out;
}

}  // namespace korvane
