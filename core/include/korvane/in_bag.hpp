#pragma once

// Which training rows each tree of a forest drew. A forest keeps no record of
// its samples: each tree's draw is replayed from the start of its own stream,
// through the same function that drew it for the fit.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "korvane/forest.hpp"
#include "korvane/memory.hpp"
#include "korvane/pool.hpp"
#include "korvane/rng.hpp"
#include "korvane/sampling.hpp"

namespace korvane {

namespace detail {

// Calls use(k, rows) with the rows tree k of the forest grew on, for every
// tree, in parallel; `use` writes only what belongs to tree k.
template <class Payload, class Use>
void replay_tree_rows(const Forest<Payload>& forest, Use&& use) {
  const std::size_t n = forest.n_train_samples;
  reserve(saturating_mul(saturating_mul(forest.n_trees(), n), sizeof(std::uint32_t)),
          "the draws of " + std::to_string(forest.n_trees()) + " trees from " + std::to_string(n) +
              " rows");
  const std::vector<ChaCha8Rng::Seed> seeds =
      derive_tree_seeds(forest.seed, forest.first_tree, forest.n_trees());
  const std::vector<std::uint32_t> kept = positive_rows(forest.sample_weight);
  pool::parallel_for_each(forest.n_trees(), [&](std::size_t k) {
    ChaCha8Rng stream = ChaCha8Rng::from_seed(seeds[k]);
    TreeRows rows =
        draw_tree_rows(n, kept, forest.params, forest.seed, forest.first_tree + k, stream);
    use(k, rows);
  });
}

}  // namespace detail

// [k · n_train_samples + i]: how often tree k drew training row i (a count
// under bootstrap, 0 or 1 under subsampling). A row splitting the nodes of an
// honest tree counts as drawn too.
template <class Payload>
[[nodiscard]] std::vector<std::uint32_t> in_bag(const Forest<Payload>& forest) {
  const std::size_t n = forest.n_train_samples;
  std::vector<std::uint32_t> counts(forest.n_trees() * n, 0);
  detail::replay_tree_rows(forest, [&](std::size_t k, TreeRows& rows) {
    for (const std::uint32_t row : rows.rows) ++counts[k * n + row];
  });
  return counts;
}

// [k · n_train_samples + i]: 1 when training row i estimated the leaves of tree
// k (every drawn row, unless the tree is honest), else 0.
template <class Payload>
[[nodiscard]] std::vector<std::uint8_t> honest_estimation(const Forest<Payload>& forest) {
  const std::size_t n = forest.n_train_samples;
  std::vector<std::uint8_t> estimation(forest.n_trees() * n, 0);
  detail::replay_tree_rows(forest, [&](std::size_t k, TreeRows& rows) {
    for (const std::uint32_t row : rows.estimation()) estimation[k * n + row] = 1;
  });
  return estimation;
}

}  // namespace korvane
