#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "korvane/rng.hpp"

namespace korvane {

// One 32-byte seed per tree: consecutive 32-byte fills of one stream seeded
// from `seed`, so seed b depends only on (seed, b).
[[nodiscard]] std::vector<ChaCha8Rng::Seed> derive_tree_seeds(std::uint64_t seed,
                                                              std::size_t n_trees);

// round(fraction·n), halves away from zero, saturating (0 for NaN or negatives).
[[nodiscard]] std::size_t rounded_share(double fraction, std::size_t n);

// The number of rows draw_sample draws from n rows with this fraction:
// rounded_share clamped into [1, n].
[[nodiscard]] std::size_t sample_size(std::size_t n, double fraction);

// Rows drawn for one tree: sample_size of them, with replacement or as a
// partial forward Fisher–Yates shuffle.
[[nodiscard]] std::vector<std::uint32_t> draw_sample(std::size_t n, bool bootstrap, double fraction,
                                                     ChaCha8Rng& stream);

// Fisher–Yates shuffle, from the last position down.
void shuffle_in_place(std::span<std::uint32_t> rows, ChaCha8Rng& stream);

// Number of splitting rows of an honest tree of n >= 2 rows: rounded_share
// clamped into [1, n − 1].
[[nodiscard]] std::size_t honest_split_size(double fraction, std::size_t n);

// The rows of an honest tree: shuffled in place, the first honest_split_size
// of them split nodes, a copy of the rest estimates the leaves.
struct HonestRows {
  std::span<std::uint32_t> splitting;
  std::vector<std::uint32_t> estimation;
};
[[nodiscard]] HonestRows split_honestly(std::span<std::uint32_t> rows, double fraction,
                                        ChaCha8Rng& stream);

// The candidate features of a tree's nodes: a partial Fisher–Yates draw of
// `per_node` features over a per-tree feature order, which is permuted in place
// and never reset. Drawing all features consumes no randomness.
class FeatureSampler {
 public:
  FeatureSampler(std::size_t n_features, std::uint32_t per_node);

  [[nodiscard]] std::vector<std::uint32_t> draw(ChaCha8Rng& stream);

 private:
  std::vector<std::uint32_t> order_;
  std::size_t per_node_;
};

}  // namespace korvane
