#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "korvane/builder.hpp"
#include "korvane/call_control.hpp"
#include "korvane/criterion.hpp"
#include "korvane/data.hpp"
#include "korvane/error.hpp"
#include "korvane/leaf_estimates.hpp"
#include "korvane/memory.hpp"
#include "korvane/params.hpp"
#include "korvane/pool.hpp"
#include "korvane/recorded_leaves.hpp"
#include "korvane/rng.hpp"
#include "korvane/sample_weights.hpp"
#include "korvane/sampling.hpp"
#include "korvane/step_function.hpp"
#include "korvane/tree.hpp"

namespace korvane {

// A fitted forest. It keeps no copy of the training data, only where each tree
// recorded each training row.
template <class Payload>
struct Forest {
  std::vector<Tree<Payload>> trees;
  // [b]: the leaf of tree b in which each training row was recorded, if any.
  std::vector<RecordedLeaves> recorded_leaf;
  std::vector<std::vector<std::uint32_t>> leaf_sizes;  // [b][leaf]: rows recorded there
  std::uint32_t n_features = 0;
  std::size_t n_train_samples = 0;
  ForestParams params;           // the settings the trees were grown with
  std::uint64_t seed = 0;        // tree b's stream derives from (seed, b)
  std::uint64_t first_tree = 0;  // trees[k] is tree first_tree + k of that forest
  // The rounded weights of a weighted fit (RowWeights), one per training row;
  // empty when every row weighs 1. Trees drew only rows of positive weight.
  std::vector<double> sample_weight;

  [[nodiscard]] std::size_t n_trees() const { return trees.size(); }
  [[nodiscard]] const RecordedLeaves& recorded_leaves(std::size_t tree) const {
    return recorded_leaf[tree];
  }

  friend bool operator==(const Forest&, const Forest&) = default;
};

namespace detail {

// The least memory a forest of n_trees trees on n rows takes while it is
// grown: one thread's record of a tree at 32 bits per row, and per tree that
// record narrowed to at least a byte per row, its seed, its result slot, the
// tree with one node and one leaf, and its leaf sizes.
template <class Payload>
[[nodiscard]] std::uint64_t forest_bytes(std::size_t n_trees, std::size_t n) {
  constexpr std::uint64_t per_tree =
      sizeof(ChaCha8Rng::Seed) + sizeof(std::optional<Tree<Payload>>) + sizeof(Tree<Payload>) +
      sizeof(NodeKind) + one_leaf_bytes<Payload>() + sizeof(RecordedLeaves) +
      sizeof(std::vector<std::uint32_t>) + sizeof(std::uint32_t);
  const std::uint64_t trees = saturating_mul(n_trees, saturating_add(n, per_tree));
  return saturating_add(trees, saturating_mul(n, sizeof(std::uint32_t)));
}

// Rows recorded per leaf of each tree.
template <class Payload>
void count_leaf_sizes(Forest<Payload>& forest, const CallControl& control) {
  forest.leaf_sizes.reserve(forest.n_trees());
  for (std::size_t b = 0; b < forest.n_trees(); ++b) {
    control.check();
    std::vector<std::uint32_t> sizes(forest.trees[b].n_leaves(), 0);
    forest.recorded_leaves(b).visit([&](auto codes, auto not_recorded) {
      for (const auto leaf : codes) {
        if (leaf != not_recorded) ++sizes[leaf];
      }
    });
    forest.leaf_sizes.push_back(std::move(sizes));
  }
}

}  // namespace detail

// Trees [start, stop) of a forest.
struct TreeRange {
  std::size_t start = 0;
  std::size_t stop = 0;
};

// Grows trees [trees.start, trees.stop) of the forest of params.n_trees trees
// that `seed` defines, in parallel. Tree b grows from its own stream, derived
// from (seed, b) alone, and its own sample, so the forest is the same whatever
// the number of threads, and pieces grown apart and joined in order are the
// forest grown at once; so are the half-samples of little bags, which derive
// from (seed, group). Counts finished trees in `control` and throws
// Cancelled, within a tree node, once it asks to stop; a forest that cannot fit
// in memory throws OutOfMemory before anything is allocated.
template <SplitCriterion Criterion, LeafEstimate Leaves>
Forest<typename Leaves::Payload> grow_forest(const Covariates& covariates,
                                             const Criterion& criterion, const Leaves& leaves,
                                             const ForestParams& params, std::uint64_t seed,
                                             TreeRange trees,
                                             const CallControl& control = CallControl{},
                                             std::span<const double> sample_weight = {}) {
  using Payload = typename Leaves::Payload;
  if (!(trees.start < trees.stop && trees.stop <= params.n_trees)) {
    fail("trees [" + std::to_string(trees.start) + ", " + std::to_string(trees.stop) +
         ") do not lie in a forest of " + std::to_string(params.n_trees));
  }
  const std::size_t n = covariates.n_samples();
  const std::vector<std::uint32_t> kept = positive_rows(sample_weight);
  // Trees draw their little bags among the kept rows alone.
  if (const auto mismatch = little_bag_mismatch(kept.empty() ? n : kept.size(), params)) {
    fail(*mismatch);
  }
  const std::size_t n_trees = trees.stop - trees.start;
  reserve(detail::forest_bytes<Payload>(n_trees, n),
          "a forest of " + std::to_string(n_trees) + " trees on " + std::to_string(n) + " rows");
  const std::vector<ChaCha8Rng::Seed> seeds = derive_tree_seeds(seed, trees.start, n_trees);
  Forest<Payload> forest;
  forest.n_features = static_cast<std::uint32_t>(covariates.n_features());
  forest.n_train_samples = n;
  forest.params = params;
  forest.seed = seed;
  forest.first_tree = trees.start;
  forest.sample_weight.assign(sample_weight.begin(), sample_weight.end());
  // Each tree's record goes into its own slot, so the result does not depend
  // on scheduling.
  forest.recorded_leaf.resize(n_trees);
  // Trees grown one after another on a thread share the criterion's buffers,
  // which at small sizes would otherwise cost as much as a tree, and the
  // arrays they grow in (TreeWorkspace says why).
  struct Worker {
    typename ScratchOf<Criterion>::type scratch;
    TreeWorkspace<Payload> workspace;
  };
  forest.trees = pool::parallel_map_with<Worker>(n_trees, [&](std::size_t k, Worker& worker) {
    ChaCha8Rng stream = ChaCha8Rng::from_seed(seeds[k]);
    TreeRows rows = draw_tree_rows(n, kept, params, seed, trees.start + k, stream,
                                   std::move(worker.workspace.rows));
    std::vector<std::uint32_t>& record = worker.workspace.recorded_leaf;
    record.assign(n, NO_LEAF);
    Tree<Payload> tree = grow(covariates, rows, criterion, leaves, params.tree, stream, record,
                              control, worker.scratch, worker.workspace);
    forest.recorded_leaf[k] = RecordedLeaves(record, tree.n_leaves());
    worker.workspace.rows = std::move(rows.rows);
    control.finish_tree();
    return tree;
  });
  detail::count_leaf_sizes(forest, control);
  return forest;
}

// All params.n_trees trees of the forest `seed` defines.
template <SplitCriterion Criterion, LeafEstimate Leaves>
Forest<typename Leaves::Payload> grow_forest(const Covariates& covariates,
                                             const Criterion& criterion, const Leaves& leaves,
                                             const ForestParams& params, std::uint64_t seed,
                                             const CallControl& control = CallControl{},
                                             std::span<const double> sample_weight = {}) {
  return grow_forest(covariates, criterion, leaves, params, seed, TreeRange{0, params.n_trees},
                     control, sample_weight);
}

// Why `next` cannot follow `before` in one forest, or nothing when it can: both
// must come from the same training rows, settings and seed, and `next` must
// start where `before` ends. Tree b does not depend on the number of trees, so
// pieces of forests that differ only in n_trees join (a forest grown further).
template <class Payload>
[[nodiscard]] std::optional<std::string> join_mismatch(const Forest<Payload>& before,
                                                       const Forest<Payload>& next) {
  if (next.n_features != before.n_features) return "they have different numbers of features";
  if (next.n_train_samples != before.n_train_samples) {
    return "they were grown on different numbers of training rows";
  }
  ForestParams settings = next.params;
  settings.n_trees = before.params.n_trees;
  if (settings != before.params) return "they were grown with different settings";
  if (next.seed != before.seed) return "they were grown from different seeds";
  if (next.sample_weight != before.sample_weight) {
    return "they were grown with different sample weights";
  }
  if (next.first_tree != before.first_tree + before.n_trees()) {
    return "trees " + std::to_string(before.first_tree) + " to " +
           std::to_string(before.first_tree + before.n_trees() - 1) + " are followed by tree " +
           std::to_string(next.first_tree);
  }
  return std::nullopt;
}

// The pieces concatenated in order into one forest; each piece must be able to
// follow the one before it (join_mismatch). n_trees is the largest of theirs.
// The trees' leaf curves then share one table of times, however many the
// pieces brought.
template <class Payload>
[[nodiscard]] Forest<Payload> join(std::span<const Forest<Payload>* const> pieces) {
  if (pieces.empty()) fail("joining no pieces");
  Forest<Payload> forest = *pieces.front();
  for (const Forest<Payload>* piece : pieces.subspan(1)) {
    if (const auto mismatch = join_mismatch(forest, *piece)) fail("cannot join: " + *mismatch);
    forest.trees.insert(forest.trees.end(), piece->trees.begin(), piece->trees.end());
    forest.recorded_leaf.insert(forest.recorded_leaf.end(), piece->recorded_leaf.begin(),
                                piece->recorded_leaf.end());
    forest.leaf_sizes.insert(forest.leaf_sizes.end(), piece->leaf_sizes.begin(),
                             piece->leaf_sizes.end());
    forest.params.n_trees = std::max(forest.params.n_trees, piece->params.n_trees);
  }
  if constexpr (std::same_as<typename Tree<Payload>::Leaves, StepCurves>) {
    std::vector<StepCurves*> curves;
    for (Tree<Payload>& tree : forest.trees) curves.push_back(&tree.leaves);
    share_time_table(curves);
  }
  return forest;
}

// Row-major rows(x) × n_trees: the leaf each tree sends each row of x to.
template <class Payload>
[[nodiscard]] std::vector<std::uint32_t> apply(const Forest<Payload>& forest, const MatrixView& x) {
  const std::size_t n_trees = forest.n_trees();
  reserve(saturating_mul(saturating_mul(x.n_rows, n_trees), sizeof(std::uint32_t)),
          "leaf indices of " + std::to_string(x.n_rows) + " rows in " + std::to_string(n_trees) +
              " trees");
  std::vector<std::uint32_t> leaves(x.n_rows * n_trees);
  pool::parallel_for_each(x.n_rows, [&](std::size_t row) {
    for (std::size_t b = 0; b < n_trees; ++b) {
      leaves[row * n_trees + b] = forest.trees[b].predict_leaf(x, row);
    }
  });
  return leaves;
}

// Per feature, the scores of the splits on it summed over each tree's nodes
// and the trees in order, divided once by the number of trees.
template <class Payload>
[[nodiscard]] std::vector<double> split_importance(const Forest<Payload>& forest) {
  std::vector<double> importance(forest.n_features, 0.0);
  for (const Tree<Payload>& tree : forest.trees) add_split_scores(tree, importance);
  const auto n_trees = static_cast<double>(forest.n_trees());
  for (double& value : importance) value /= n_trees;
  return importance;
}

}  // namespace korvane
