#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "korvane/builder.hpp"
#include "korvane/call_control.hpp"
#include "korvane/criterion.hpp"
#include "korvane/data.hpp"
#include "korvane/leaf_estimates.hpp"
#include "korvane/memory.hpp"
#include "korvane/params.hpp"
#include "korvane/pool.hpp"
#include "korvane/rng.hpp"
#include "korvane/sampling.hpp"
#include "korvane/tree.hpp"

namespace korvane {

// Marks a training row that a tree did not record in any leaf.
inline constexpr std::uint32_t NO_LEAF = 0xFFFFFFFFu;

// A fitted forest. It keeps no copy of the training data, only where each tree
// recorded each training row.
template <class Payload>
struct Forest {
  std::vector<Tree<Payload>> trees;
  // [b · n_train_samples + i]: the leaf of tree b in which training row i was
  // recorded, or NO_LEAF.
  std::vector<std::uint32_t> recorded_leaf;
  std::vector<std::vector<std::uint32_t>> leaf_sizes;  // [b][leaf]: rows recorded there
  std::uint32_t n_features = 0;
  std::size_t n_train_samples = 0;
  ForestParams params;           // the settings the trees were grown with
  std::uint64_t seed = 0;        // tree b's stream derives from (seed, b)
  std::uint64_t first_tree = 0;  // trees[k] is tree first_tree + k of that forest

  [[nodiscard]] std::size_t n_trees() const { return trees.size(); }
  [[nodiscard]] std::span<const std::uint32_t> recorded_leaves(std::size_t tree) const {
    return std::span(recorded_leaf).subspan(tree * n_train_samples, n_train_samples);
  }

  friend bool operator==(const Forest&, const Forest&) = default;
};

namespace detail {

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

// Rows recorded per leaf of each tree.
template <class Payload>
void count_leaf_sizes(Forest<Payload>& forest, const CallControl& control) {
  forest.leaf_sizes.reserve(forest.n_trees());
  for (std::size_t b = 0; b < forest.n_trees(); ++b) {
    control.check();
    std::vector<std::uint32_t> sizes(forest.trees[b].n_leaves(), 0);
    for (const std::uint32_t leaf : forest.recorded_leaves(b)) {
      if (leaf != NO_LEAF) ++sizes[leaf];
    }
    forest.leaf_sizes.push_back(std::move(sizes));
  }
}

}  // namespace detail

// Grows params.n_trees trees in parallel, tree b from its own stream derived
// from (seed, b) and its own sample, so the forest is the same whatever the
// number of threads. Counts finished trees in `control` and throws Cancelled,
// within a tree node, once it asks to stop; a forest that cannot fit in memory
// throws OutOfMemory before anything is allocated.
template <SplitCriterion Criterion, LeafEstimate Leaves>
Forest<typename Leaves::Payload> grow_forest(const Covariates& covariates,
                                             const Criterion& criterion, const Leaves& leaves,
                                             const ForestParams& params, std::uint64_t seed,
                                             const CallControl& control = CallControl{}) {
  using Payload = typename Leaves::Payload;
  const std::size_t n = covariates.n_samples();
  reserve(
      detail::forest_bytes<Payload>(params.n_trees, n),
      "a forest of " + std::to_string(params.n_trees) + " trees on " + std::to_string(n) + " rows");
  const std::vector<ChaCha8Rng::Seed> seeds = derive_tree_seeds(seed, params.n_trees);
  Forest<Payload> forest;
  forest.n_features = static_cast<std::uint32_t>(covariates.n_features());
  forest.n_train_samples = n;
  forest.params = params;
  forest.seed = seed;
  // Each tree records straight into its own row of the matrix, so no per-tree
  // record outlives its task and the result does not depend on scheduling.
  forest.recorded_leaf.assign(params.n_trees * n, NO_LEAF);
  forest.trees = pool::parallel_map(params.n_trees, [&](std::size_t b) {
    ChaCha8Rng stream = ChaCha8Rng::from_seed(seeds[b]);
    std::vector<std::uint32_t> sample =
        draw_sample(n, params.bootstrap, params.subsample_fraction, stream);
    const std::span<std::uint32_t> record = std::span(forest.recorded_leaf).subspan(b * n, n);
    Tree<Payload> tree =
        grow(covariates, sample, criterion, leaves, params.tree, stream, record, control);
    control.finish_tree();
    return tree;
  });
  detail::count_leaf_sizes(forest, control);
  return forest;
}

}  // namespace korvane
