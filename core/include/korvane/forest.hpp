#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "korvane/data.hpp"
#include "korvane/memory.hpp"
#include "korvane/pool.hpp"
#include "korvane/rng.hpp"
#include "korvane/splits.hpp"
#include "korvane/tree.hpp"

namespace korvane {

// Marks a training row that a tree did not record in any leaf.
inline constexpr std::uint32_t NO_LEAF = 0xFFFFFFFFu;

struct ForestParams {
  TreeParams tree;
  std::size_t n_trees = 100;
  bool bootstrap = true;
  double subsample_fraction = 1.0;
};

// One 32-byte seed per tree: consecutive 32-byte fills of one stream seeded
// from `seed`, so seed b depends only on (seed, b).
[[nodiscard]] std::vector<ChaCha8Rng::Seed> derive_tree_seeds(std::uint64_t seed,
                                                              std::size_t n_trees);

// Rows drawn for one tree: round(f·n) of them (halves away from zero, clamped
// into [1, n]), with replacement or as a partial forward Fisher–Yates shuffle.
[[nodiscard]] std::vector<std::uint32_t> draw_sample(std::size_t n, bool bootstrap,
                                                     double fraction, ChaCha8Rng& stream);

// The number of rows draw_sample draws from n rows with this fraction.
[[nodiscard]] std::size_t sample_size(std::size_t n, double fraction);

// row_leaf[b·n + i]: the leaf of tree b in which training row i was recorded, or
// NO_LEAF. The forest keeps no copy of the training data.
template <class Payload>
struct Forest {
  std::vector<Tree<Payload>> trees;
  std::vector<std::uint32_t> row_leaf;
  std::vector<std::vector<std::uint32_t>> leaf_sizes;
  std::uint32_t n_features = 0;
  std::size_t n_train = 0;

  [[nodiscard]] std::size_t n_trees() const { return trees.size(); }
  [[nodiscard]] std::size_t n_train_samples() const { return n_train; }
  [[nodiscard]] std::span<const std::uint32_t> leaf_row(std::size_t tree) const {
    return std::span(row_leaf).subspan(tree * n_train, n_train);
  }

  template <SplitCriterion Criterion>
  [[nodiscard]] static Forest fit(const SurvivalData& data, const Criterion& criterion,
                                  const ForestParams& params, std::uint64_t seed);

  friend bool operator==(const Forest&, const Forest&) = default;
};

// The least memory a forest of n_trees trees on n rows takes while it is
// grown: the recorded leaf of every row in every tree, and per tree its seed,
// its result slot, the tree with one node and one leaf, and its leaf sizes.
template <class Payload>
[[nodiscard]] std::uint64_t forest_bytes(std::size_t n_trees, std::size_t n) {
  constexpr std::uint64_t per_tree = sizeof(ChaCha8Rng::Seed) +
                                     sizeof(std::optional<Tree<Payload>>) + sizeof(Tree<Payload>) +
                                     sizeof(NodeKind) + sizeof(Payload) +
                                     sizeof(std::vector<std::uint32_t>) + sizeof(std::uint32_t);
  const std::uint64_t recorded = saturating_mul(n, sizeof(std::uint32_t));
  return saturating_mul(n_trees, saturating_add(recorded, per_tree));
}

template <class Payload>
template <SplitCriterion Criterion>
Forest<Payload> Forest<Payload>::fit(const SurvivalData& data, const Criterion& criterion,
                                     const ForestParams& params, std::uint64_t seed) {
  const std::size_t n = data.n_samples();
  reserve(
      forest_bytes<Payload>(params.n_trees, n),
      "a forest of " + std::to_string(params.n_trees) + " trees on " + std::to_string(n) + " rows");
  const std::vector<ChaCha8Rng::Seed> seeds = derive_tree_seeds(seed, params.n_trees);
  Forest forest;
  forest.n_features = static_cast<std::uint32_t>(data.n_features());
  forest.n_train = n;
  // Each tree records straight into its own row of the matrix, so no per-tree
  // record outlives its task and the result does not depend on scheduling.
  forest.row_leaf.assign(params.n_trees * n, NO_LEAF);
  const ValueRanks ranks = ValueRanks::of(data);
  const SurvivalData ranked = data.with_ranks(ranks);
  forest.trees = pool::parallel_map(params.n_trees, [&](std::size_t b) {
    ChaCha8Rng stream = ChaCha8Rng::from_seed(seeds[b]);
    std::vector<std::uint32_t> sample =
        draw_sample(n, params.bootstrap, params.subsample_fraction, stream);
    const std::span<std::uint32_t> record = std::span(forest.row_leaf).subspan(b * n, n);
    return fit_subset_recording<Payload>(ranked, sample, criterion, params.tree, stream, record);
  });
  forest.leaf_sizes.reserve(params.n_trees);
  for (std::size_t b = 0; b < params.n_trees; ++b) {
    std::vector<std::uint32_t> sizes(forest.trees[b].n_leaves(), 0);
    for (const std::uint32_t leaf : forest.leaf_row(b)) {
      if (leaf != NO_LEAF) ++sizes[leaf];
    }
    forest.leaf_sizes.push_back(std::move(sizes));
  }
  return forest;
}

// Tree-averaged cumulative hazard, row-major rows(x) × times.size(): summed in
// tree order, then divided once by the number of trees.
[[nodiscard]] std::vector<double> predict_cumulative_hazard(const Forest<StepFunction>& forest,
                                                            const MatrixView& x,
                                                            std::span<const double> times);

// Weight of every training row for one query row.
template <class Payload>
[[nodiscard]] std::vector<double> forest_weights(const Forest<Payload>& forest,
                                                 const VectorView& x);

// Row-major rows(x) × n_train weights, one query row per pool task; row r equals
// forest_weights of row r to the last bit.
template <class Payload>
[[nodiscard]] std::vector<double> forest_weights_batch(const Forest<Payload>& forest,
                                                       const MatrixView& x);

extern template std::vector<double> forest_weights(const Forest<StepFunction>&, const VectorView&);
extern template std::vector<double> forest_weights(const Forest<NoPayload>&, const VectorView&);
extern template std::vector<double> forest_weights_batch(const Forest<StepFunction>&,
                                                         const MatrixView&);
extern template std::vector<double> forest_weights_batch(const Forest<NoPayload>&,
                                                         const MatrixView&);

}  // namespace korvane
