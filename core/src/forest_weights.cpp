#include "korvane/forest_weights.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>

#include "korvane/error.hpp"
#include "korvane/in_bag.hpp"
#include "korvane/memory.hpp"
#include "korvane/pool.hpp"

namespace korvane {

namespace {

// Query rows per pool task.
constexpr std::size_t kQueryBlock = 64;

// Below this many query rows each row scans every tree's recorded leaves:
// indexing the rows of every leaf first costs several such scans.
constexpr std::size_t kFewestIndexedQueries = 4;

// The training rows recorded in each leaf of one tree, in ascending row order.
struct LeafRows {
  std::vector<std::uint32_t> offsets;  // rows of leaf l: rows[offsets[l] .. offsets[l + 1])
  std::vector<std::uint32_t> rows;
};

LeafRows index_leaf_rows(std::span<const std::uint32_t> recorded_leaf,
                         std::span<const std::uint32_t> leaf_sizes) {
  LeafRows index;
  index.offsets.resize(leaf_sizes.size() + 1, 0);
  for (std::size_t l = 0; l < leaf_sizes.size(); ++l) {
    index.offsets[l + 1] = index.offsets[l] + leaf_sizes[l];
  }
  index.rows.resize(index.offsets.back());
  std::vector<std::uint32_t> next(index.offsets.begin(), index.offsets.end() - 1);
  for (std::uint32_t i = 0; i < recorded_leaf.size(); ++i) {
    if (recorded_leaf[i] != NO_LEAF) index.rows[next[recorded_leaf[i]]++] = i;
  }
  return index;
}

// `size` zeros. A large buffer asks for transparent huge pages before its first
// write: zeroing it then faults in one page per 2 MiB instead of per 4 KiB,
// which is most of the cost of a fresh buffer of this size.
std::vector<double> zeros(std::size_t size) {
  std::vector<double> values;
  values.reserve(size);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kHugePage = std::uintptr_t{1} << 21;
  const auto begin = reinterpret_cast<std::uintptr_t>(values.data());
  const std::uintptr_t end = begin + size * sizeof(double);
  const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t last = end & ~(kHugePage - 1);
  // Only advice: without it the buffer is the same, just slower to fill.
  if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
  values.resize(size, 0.0);
  return values;
}

// The output and the per-tree index of leaf rows built first: at most every
// training row and one offset per leaf, and so per training row, in each tree.
template <class Payload>
void reserve_weights(const Forest<Payload>& forest, std::size_t n_rows) {
  const std::size_t n = forest.n_train_samples;
  const std::uint64_t output = saturating_mul(saturating_mul(n_rows, n), sizeof(double));
  const std::uint64_t index =
      saturating_mul(saturating_mul(forest.n_trees(), saturating_add(2 * std::uint64_t{n}, 1)),
                     sizeof(std::uint32_t));
  reserve(saturating_add(output, index), "a forest-weight matrix of " + std::to_string(n_rows) +
                                             " query rows over " + std::to_string(n) +
                                             " training rows");
}

// The leaf each tree sends each query row of a block to: [b · count + i].
template <class Payload>
std::vector<std::uint32_t> reached_leaves(const Forest<Payload>& forest, const MatrixView& x,
                                          std::size_t first, std::size_t count) {
  std::vector<std::uint32_t> reached(forest.n_trees() * count);
  for (std::size_t b = 0; b < forest.n_trees(); ++b) {
    for (std::size_t i = 0; i < count; ++i) {
      reached[b * count + i] = forest.trees[b].predict_leaf(x, first + i);
    }
  }
  return reached;
}

// Every tree, each weight divided by the number of trees.
struct AllTrees {
  double n_trees;
  [[nodiscard]] bool uses(std::size_t, std::size_t) const { return true; }
  [[nodiscard]] double divisor(std::size_t) const { return n_trees; }
};

// For training row r, the trees that did not draw it (drawn[b · n + r] == 0),
// each weight divided by their number.
struct OutOfBagTrees {
  std::span<const std::uint32_t> drawn;
  std::size_t n;
  std::span<const std::size_t> n_oob;
  [[nodiscard]] bool uses(std::size_t b, std::size_t row) const { return drawn[b * n + row] == 0; }
  [[nodiscard]] double divisor(std::size_t row) const { return static_cast<double>(n_oob[row]); }
};

// Every row recorded in a leaf gets the same share of it, 1 / |leaf|.
struct EqualShares {
  struct Share {
    double increment;
    [[nodiscard]] double operator()(std::size_t) const { return increment; }
  };
  const std::vector<std::vector<std::uint32_t>>& sizes;
  [[nodiscard]] Share of(std::size_t b, std::uint32_t leaf) const {
    return {1.0 / static_cast<double>(sizes[b][leaf])};
  }
};

// A row recorded in a leaf gets its weight over the weight recorded there. A
// row is recorded once however often it was drawn, as in EqualShares, so a
// weight of 1 everywhere gives EqualShares' bits. Rounded weights sum exactly.
struct WeightedShares {
  struct Share {
    std::span<const double> weight;
    double total;
    [[nodiscard]] double operator()(std::size_t row) const { return weight[row] / total; }
  };
  std::span<const double> weight;
  std::vector<std::vector<double>> totals;  // [b][leaf]

  template <class Payload>
  explicit WeightedShares(const Forest<Payload>& forest) : weight(forest.sample_weight) {
    totals.reserve(forest.n_trees());
    for (std::size_t b = 0; b < forest.n_trees(); ++b) {
      std::vector<double> leaf_totals(forest.leaf_sizes[b].size(), 0.0);
      const std::span<const std::uint32_t> recorded = forest.recorded_leaves(b);
      for (std::size_t i = 0; i < recorded.size(); ++i) {
        if (recorded[i] != NO_LEAF) leaf_totals[recorded[i]] += weight[i];
      }
      totals.push_back(std::move(leaf_totals));
    }
  }
  [[nodiscard]] Share of(std::size_t b, std::uint32_t leaf) const {
    return {weight, totals[b][leaf]};
  }
};

// Weights of one query row by a scan of the recorded leaves of the trees
// `trees` selects for it.
template <class Payload, class Trees, class Shares>
void scan_weights(const Forest<Payload>& forest, const MatrixView& x, std::size_t row,
                  const Trees& trees, const Shares& shares, std::span<double> weights,
                  const CallControl& control) {
  for (std::size_t b = 0; b < forest.n_trees(); ++b) {
    control.check();
    if (!trees.uses(b, row)) continue;
    const std::uint32_t leaf = forest.trees[b].predict_leaf(x, row);
    if (forest.leaf_sizes[b][leaf] == 0) continue;
    const auto share = shares.of(b, leaf);
    const std::span<const std::uint32_t> recorded = forest.recorded_leaves(b);
    for (std::size_t i = 0; i < weights.size(); ++i) {
      if (recorded[i] == leaf) weights[i] += share(i);
    }
  }
  const double divisor = trees.divisor(row);
  for (double& w : weights) w /= divisor;
}

// Weights of each query row r over the trees `trees.uses(b, r)` selects, each
// tree adding the shares of its reached leaf, divided by trees.divisor(r). Every weight receives
// its increments in tree order, so visiting only the rows of the reached leaf gives the bits of a
// scan over all rows, and dividing only the weights that received any leaves the others at 0 = 0 /
// B. A few query rows take the scan itself. Each task first descends every tree for a block of
// query rows, so that a tree's nodes stay in cache while it is descended.
template <class Payload, class Trees, class Shares>
std::vector<double> weights_over(const Forest<Payload>& forest, const MatrixView& x,
                                 const Trees& trees, const Shares& shares,
                                 const CallControl& control) {
  const std::size_t n = forest.n_train_samples;
  reserve_weights(forest, x.n_rows);
  std::vector<double> out = zeros(x.n_rows * n);
  if (n == 0 || x.n_rows == 0) return out;
  if (x.n_rows < kFewestIndexedQueries) {
    for (std::size_t r = 0; r < x.n_rows; ++r) {
      scan_weights(forest, x, r, trees, shares, {out.data() + r * n, n}, control);
    }
    return out;
  }
  const std::size_t n_trees = forest.n_trees();
  const std::vector<LeafRows> leaf_rows = pool::parallel_map(n_trees, [&](std::size_t b) {
    control.check();
    return index_leaf_rows(forest.recorded_leaves(b), forest.leaf_sizes[b]);
  });
  const std::size_t n_blocks = (x.n_rows + kQueryBlock - 1) / kQueryBlock;
  pool::parallel_for_each(n_blocks, [&](std::size_t block) {
    control.check();
    const std::size_t first = block * kQueryBlock;
    const std::size_t count = std::min(kQueryBlock, x.n_rows - first);
    const std::vector<std::uint32_t> reached = reached_leaves(forest, x, first, count);
    // Rows whose weight received an increment, each once: a row is appended
    // (without a branch) when its weight is still 0, and increments are
    // positive. At most n rows, plus the slot the last write may use.
    std::vector<std::uint32_t> touched(n + 1);
    for (std::size_t i = 0; i < count; ++i) {
      control.check();
      const std::span<double> weights(out.data() + (first + i) * n, n);
      std::size_t n_touched = 0;
      for (std::size_t b = 0; b < n_trees; ++b) {
        if (!trees.uses(b, first + i)) continue;
        const std::uint32_t leaf = reached[b * count + i];
        if (forest.leaf_sizes[b][leaf] == 0) continue;
        const auto share = shares.of(b, leaf);
        const LeafRows& index = leaf_rows[b];
        for (std::uint32_t k = index.offsets[leaf]; k < index.offsets[leaf + 1]; ++k) {
          const std::uint32_t row = index.rows[k];
          touched[n_touched] = row;
          n_touched += weights[row] == 0.0 ? 1 : 0;
          weights[row] += share(row);
        }
      }
      const double divisor = trees.divisor(first + i);
      for (std::size_t t = 0; t < n_touched; ++t) weights[touched[t]] /= divisor;
    }
  });
  return out;
}

// The weights with the shares of the forest's weighting, chosen once per call.
template <class Payload, class Trees>
std::vector<double> weights_over(const Forest<Payload>& forest, const MatrixView& x,
                                 const Trees& trees, const CallControl& control) {
  if (forest.sample_weight.empty()) {
    return weights_over(forest, x, trees, EqualShares{forest.leaf_sizes}, control);
  }
  return weights_over(forest, x, trees, WeightedShares(forest), control);
}

}  // namespace

template <class Payload>
std::vector<double> forest_weights(const Forest<Payload>& forest, const MatrixView& x,
                                   const CallControl& control) {
  return weights_over(forest, x, AllTrees{static_cast<double>(forest.n_trees())}, control);
}

template <class Payload>
std::vector<double> oob_forest_weights(const Forest<Payload>& forest, const MatrixView& x,
                                       const CallControl& control) {
  const std::size_t n = forest.n_train_samples;
  if (x.n_rows != n) fail("x has " + std::to_string(x.n_rows) + " rows, not the training rows");
  const std::vector<std::uint32_t> drawn = in_bag(forest);
  std::vector<std::size_t> n_oob(n, 0);
  for (std::size_t b = 0; b < forest.n_trees(); ++b) {
    for (std::size_t i = 0; i < n; ++i) n_oob[i] += drawn[b * n + i] == 0 ? 1 : 0;
  }
  std::vector<double> out = weights_over(forest, x, OutOfBagTrees{drawn, n, n_oob}, control);
  for (std::size_t i = 0; i < n; ++i) {
    if (n_oob[i] != 0) continue;
    std::fill_n(out.begin() + static_cast<std::ptrdiff_t>(i * n), n,
                std::numeric_limits<double>::quiet_NaN());
  }
  return out;
}

template <class Payload>
std::vector<double> forest_weights(const Forest<Payload>& forest, const VectorView& x,
                                   const CallControl& control) {
  return forest_weights(forest, MatrixView{x.base, 1, x.size, 0, x.stride}, control);
}

template std::vector<double> forest_weights(const Forest<StepFunction>&, const MatrixView&,
                                            const CallControl&);
template std::vector<double> forest_weights(const Forest<NoPayload>&, const MatrixView&,
                                            const CallControl&);
template std::vector<double> forest_weights(const Forest<StepFunction>&, const VectorView&,
                                            const CallControl&);
template std::vector<double> forest_weights(const Forest<NoPayload>&, const VectorView&,
                                            const CallControl&);
template std::vector<double> oob_forest_weights(const Forest<StepFunction>&, const MatrixView&,
                                                const CallControl&);
template std::vector<double> oob_forest_weights(const Forest<NoPayload>&, const MatrixView&,
                                                const CallControl&);

}  // namespace korvane
