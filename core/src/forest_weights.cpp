#include "korvane/forest_weights.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>

#include "descent.hpp"
#include "korvane/error.hpp"
#include "korvane/in_bag.hpp"
#include "korvane/memory.hpp"
#include "korvane/pool.hpp"

namespace korvane {

namespace {

// Query rows per pool task while the weights are added.
constexpr std::size_t kRowBlock = 8;

// Below this many query rows each row scans every tree's recorded leaves,
// which compares them with one leaf in a loop the compiler vectorises:
// indexing the rows of the reached leaves first costs a few such scans.
constexpr std::size_t kFewestIndexedQueries = 4;

// The training rows recorded in the leaves of one tree that `reached` holds,
// in ascending row order; the other leaves are left empty. Query rows reach
// few of a large tree's leaves, and skipping the rows of the others is most
// of the cost of indexing them all.
struct LeafRows {
  std::vector<std::uint32_t> offsets;  // rows of leaf l: rows[offsets[l] .. offsets[l + 1])
  std::vector<std::uint32_t> rows;

  LeafRows(const RecordedLeaves& recorded, std::span<const std::uint32_t> leaf_sizes,
           std::span<const std::uint32_t> reached)
      : offsets(leaf_sizes.size() + 1, 0) {
    // One more entry stands for a row not recorded, never wanted, so that the
    // scan tests one flag per row: whether a bootstrap left a row out is a
    // coin flip no branch predicts.
    const std::size_t n_leaves = leaf_sizes.size();
    std::vector<std::uint8_t> wanted(n_leaves + 1, 0);
    for (const std::uint32_t leaf : reached) wanted[leaf] = 1;
    for (std::size_t l = 0; l < n_leaves; ++l) {
      offsets[l + 1] = offsets[l] + (wanted[l] != 0 ? leaf_sizes[l] : 0);
    }
    rows.resize(offsets.back());
    recorded.visit([&](auto codes, auto) { add_rows(codes, wanted); });
  }

 private:
  // The code of a row not recorded is at least n_leaves, so clamping it there
  // lands on the unwanted entry.
  template <class Code>
  void add_rows(std::span<const Code> codes, std::span<const std::uint8_t> wanted) {
    const auto n_leaves = static_cast<std::uint32_t>(wanted.size() - 1);
    std::vector<std::uint32_t> next(offsets.begin(), offsets.end() - 1);
    for (std::uint32_t i = 0; i < codes.size(); ++i) {
      const std::uint32_t leaf = std::min<std::uint32_t>(codes[i], n_leaves);
      if (wanted[leaf] != 0) rows[next[leaf]++] = i;
    }
  }
};

// The output, the per-tree index of leaf rows built first (at most every
// training row and one offset per leaf in each tree) and the descents.
template <class Payload>
void reserve_weights(const Forest<Payload>& forest, std::size_t n_rows) {
  const std::size_t n = forest.n_train_samples;
  std::uint64_t bytes = saturating_mul(saturating_mul(n_rows, n), sizeof(double));
  bytes = saturating_add(bytes, detail::descent_bytes(forest, n_rows));
  for (const Tree<Payload>& tree : forest.trees) {
    const std::uint64_t rows = saturating_add(n, saturating_add(tree.n_leaves(), 1));
    bytes = saturating_add(bytes, saturating_mul(rows, sizeof(std::uint32_t)));
  }
  reserve(bytes, "a forest-weight matrix of " + std::to_string(n_rows) + " query rows over " +
                     std::to_string(n) + " training rows");
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
      forest.recorded_leaves(b).visit([&](auto codes, auto not_recorded) {
        for (std::size_t i = 0; i < codes.size(); ++i) {
          if (codes[i] != not_recorded) leaf_totals[codes[i]] += weight[i];
        }
      });
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
  std::fill(weights.begin(), weights.end(), 0.0);
  for (std::size_t b = 0; b < forest.n_trees(); ++b) {
    control.check();
    if (!trees.uses(b, row)) continue;
    const std::uint32_t leaf = forest.trees[b].predict_leaf(x, row);
    if (forest.leaf_sizes[b][leaf] == 0) continue;
    const auto share = shares.of(b, leaf);
    // The leaf lies below the tree's leaf count, so it fits the record's
    // width and differs from the code of a row not recorded.
    forest.recorded_leaves(b).visit([&](auto codes, auto) {
      const auto code = static_cast<typename decltype(codes)::value_type>(leaf);
      for (std::size_t i = 0; i < weights.size(); ++i) {
        if (codes[i] == code) weights[i] += share(i);
      }
    });
  }
  const double divisor = trees.divisor(row);
  for (double& w : weights) w /= divisor;
}

// The weights of one query row from the leaves it reached, [b · stride].
template <class Payload, class Trees, class Shares>
class RowSums {
 public:
  RowSums(const Forest<Payload>& forest, std::span<const LeafRows> leaf_rows, const Trees& trees,
          const Shares& shares)
      : forest_(forest), leaf_rows_(leaf_rows), trees_(trees), shares_(shares) {}

  // Every weight receives its increments in tree order, so visiting only the
  // rows of each reached leaf gives the bits of a scan over all rows. A row
  // that receives fewer increments than it has weights lists the weights it
  // touched and divides only those, leaving the others at 0 = 0 / divisor.
  void operator()(std::size_t row, const std::uint32_t* reached, std::size_t stride,
                  std::span<double> weights, std::vector<std::uint32_t>& touched) const {
    std::fill(weights.begin(), weights.end(), 0.0);
    const double divisor = trees_.divisor(row);
    if (increments(row, reached, stride) >= weights.size()) {
      add<false>(row, reached, stride, weights, nullptr);
      for (double& w : weights) w /= divisor;
      return;
    }
    // At most every weight, plus the slot the last write may use.
    touched.resize(weights.size() + 1);
    const std::size_t n_touched = add<true>(row, reached, stride, weights, touched.data());
    for (std::size_t t = 0; t < n_touched; ++t) weights[touched[t]] /= divisor;
  }

 private:
  [[nodiscard]] std::size_t increments(std::size_t row, const std::uint32_t* reached,
                                       std::size_t stride) const {
    std::size_t count = 0;
    for (std::size_t b = 0; b < leaf_rows_.size(); ++b) {
      if (trees_.uses(b, row)) count += forest_.leaf_sizes[b][reached[b * stride]];
    }
    return count;
  }

  // Adds the shares of each reached leaf in tree order. With kTrack, a row is
  // appended to `touched` (without a branch) when its weight is still 0, and
  // increments are positive, so each once; returns how many.
  template <bool kTrack>
  std::size_t add(std::size_t row, const std::uint32_t* reached, std::size_t stride,
                  std::span<double> weights, std::uint32_t* touched) const {
    std::size_t n_touched = 0;
    for (std::size_t b = 0; b < leaf_rows_.size(); ++b) {
      const std::uint32_t leaf = reached[b * stride];
      if (!trees_.uses(b, row) || forest_.leaf_sizes[b][leaf] == 0) continue;
      const auto share = shares_.of(b, leaf);
      const LeafRows& rows = leaf_rows_[b];
      for (std::uint32_t k = rows.offsets[leaf]; k < rows.offsets[leaf + 1]; ++k) {
        const std::uint32_t i = rows.rows[k];
        if constexpr (kTrack) {
          touched[n_touched] = i;
          n_touched += weights[i] == 0.0 ? 1 : 0;
        }
        weights[i] += share(i);
      }
    }
    return n_touched;
  }

  const Forest<Payload>& forest_;
  std::span<const LeafRows> leaf_rows_;
  const Trees& trees_;
  const Shares& shares_;
};

// Weights of each query row r over the trees `trees.uses(b, r)` selects, each
// tree adding the shares of its reached leaf, divided by trees.divisor(r).
// Query rows go in chunks: every tree descends the whole chunk and indexes the
// rows of the leaves it reached in one task, then tasks of a few query rows
// each write their weights whole, zeros first, so that a row is in the task's
// cache while its increments arrive. A few query rows take the scan instead.
template <class Payload, class Trees, class Shares>
UnfilledDoubles weights_over(const Forest<Payload>& forest, const MatrixView& x, const Trees& trees,
                             const Shares& shares, const CallControl& control) {
  const std::size_t n = forest.n_train_samples;
  reserve_weights(forest, x.n_rows);
  UnfilledDoubles out(x.n_rows * n);
  if (n == 0 || x.n_rows == 0) return out;
  if (x.n_rows < kFewestIndexedQueries) {
    for (std::size_t r = 0; r < x.n_rows; ++r) {
      scan_weights(forest, x, r, trees, shares, {out.data() + r * n, n}, control);
    }
    return out;
  }
  detail::for_each_chunk(
      forest, x, control,
      [&](std::size_t first, std::size_t count, std::span<const std::uint32_t> reached) {
        const std::vector<LeafRows> leaf_rows =
            pool::parallel_map(forest.n_trees(), [&](std::size_t b) {
              control.check();
              return LeafRows(forest.recorded_leaves(b), forest.leaf_sizes[b],
                              reached.subspan(b * count, count));
            });
        const RowSums<Payload, Trees, Shares> row_sums(forest, leaf_rows, trees, shares);
        pool::parallel_for_each((count + kRowBlock - 1) / kRowBlock, [&](std::size_t task) {
          std::vector<std::uint32_t> touched;
          for (std::size_t i = task * kRowBlock; i < std::min(count, (task + 1) * kRowBlock); ++i) {
            control.check();
            const std::span<double> weights(out.data() + (first + i) * n, n);
            row_sums(first + i, reached.data() + i, count, weights, touched);
          }
        });
      });
  return out;
}

// The weights with the shares of the forest's weighting, chosen once per call.
template <class Payload, class Trees>
UnfilledDoubles weights_over(const Forest<Payload>& forest, const MatrixView& x, const Trees& trees,
                             const CallControl& control) {
  if (forest.sample_weight.empty()) {
    return weights_over(forest, x, trees, EqualShares{forest.leaf_sizes}, control);
  }
  return weights_over(forest, x, trees, WeightedShares(forest), control);
}

}  // namespace

template <class Payload>
UnfilledDoubles forest_weights(const Forest<Payload>& forest, const MatrixView& x,
                               const CallControl& control) {
  return weights_over(forest, x, AllTrees{static_cast<double>(forest.n_trees())}, control);
}

template <class Payload>
UnfilledDoubles oob_forest_weights(const Forest<Payload>& forest, const MatrixView& x,
                                   const CallControl& control) {
  const std::size_t n = forest.n_train_samples;
  if (x.n_rows != n) fail("x has " + std::to_string(x.n_rows) + " rows, not the training rows");
  const std::vector<std::uint32_t> drawn = in_bag(forest);
  std::vector<std::size_t> n_oob(n, 0);
  for (std::size_t b = 0; b < forest.n_trees(); ++b) {
    for (std::size_t i = 0; i < n; ++i) n_oob[i] += drawn[b * n + i] == 0 ? 1 : 0;
  }
  UnfilledDoubles out = weights_over(forest, x, OutOfBagTrees{drawn, n, n_oob}, control);
  for (std::size_t i = 0; i < n; ++i) {
    if (n_oob[i] != 0) continue;
    std::fill_n(out.begin() + static_cast<std::ptrdiff_t>(i * n), n,
                std::numeric_limits<double>::quiet_NaN());
  }
  return out;
}

template <class Payload>
UnfilledDoubles forest_weights(const Forest<Payload>& forest, const VectorView& x,
                               const CallControl& control) {
  return forest_weights(forest, MatrixView{x.base, 1, x.size, 0, x.stride}, control);
}

template UnfilledDoubles forest_weights(const Forest<StepFunction>&, const MatrixView&,
                                        const CallControl&);
template UnfilledDoubles forest_weights(const Forest<NoPayload>&, const MatrixView&,
                                        const CallControl&);
template UnfilledDoubles forest_weights(const Forest<StepFunction>&, const VectorView&,
                                        const CallControl&);
template UnfilledDoubles forest_weights(const Forest<NoPayload>&, const VectorView&,
                                        const CallControl&);
template UnfilledDoubles oob_forest_weights(const Forest<StepFunction>&, const MatrixView&,
                                            const CallControl&);
template UnfilledDoubles oob_forest_weights(const Forest<NoPayload>&, const MatrixView&,
                                            const CallControl&);

}  // namespace korvane
