#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "korvane/params.hpp"
#include "korvane/rng.hpp"

namespace korvane {

// One 32-byte seed per tree: consecutive 32-byte fills of one stream seeded
// from `seed`, so seed b depends only on (seed, b).
[[nodiscard]] std::vector<ChaCha8Rng::Seed> derive_tree_seeds(std::uint64_t seed,
                                                              std::size_t n_trees);
// The seeds of trees [first, first + count) alone: the stream is entered at
// tree first's seed, so the trees before it cost nothing.
[[nodiscard]] std::vector<ChaCha8Rng::Seed> derive_tree_seeds(std::uint64_t seed,
                                                              std::uint64_t first,
                                                              std::size_t count);

// round(fraction·n), halves away from zero, saturating (0 for NaN or negatives).
[[nodiscard]] std::size_t rounded_share(double fraction, std::size_t n);

// The number of rows draw_sample draws from n rows with this fraction:
// rounded_share clamped into [1, n].
[[nodiscard]] std::size_t sample_size(std::size_t n, double fraction);

// Rows drawn for one tree: sample_size of them, with replacement or as a
// partial forward Fisher–Yates shuffle. The result takes over `buffer`, whose
// contents are discarded and whose capacity is reused.
[[nodiscard]] std::vector<std::uint32_t> draw_sample(std::size_t n, bool bootstrap, double fraction,
                                                     ChaCha8Rng& stream,
                                                     std::vector<std::uint32_t> buffer = {});

// Fisher–Yates shuffle, from the last position down.
void shuffle_in_place(std::span<std::uint32_t> rows, ChaCha8Rng& stream);

// Number of splitting rows of an honest tree of n >= 2 rows: rounded_share
// clamped into [1, n − 1].
[[nodiscard]] std::size_t honest_split_size(double fraction, std::size_t n);

// Shuffles the rows of an honest tree in place and returns how many of them,
// from the front, split nodes; the rest estimate the leaves.
[[nodiscard]] std::size_t split_honestly(std::span<std::uint32_t> rows, double fraction,
                                         ChaCha8Rng& stream);

// The rows one tree grows on, in the order it grows on them. An honest tree
// splits on its first n_splitting rows and estimates its leaves on the rest;
// any other tree does both on all of them.
struct TreeRows {
  std::vector<std::uint32_t> rows;
  std::optional<std::size_t> n_splitting;  // set for an honest tree

  [[nodiscard]] std::span<std::uint32_t> splitting() {
    return n_splitting ? std::span(rows).first(*n_splitting) : std::span(rows);
  }
  [[nodiscard]] std::span<std::uint32_t> estimation() {
    return n_splitting ? std::span(rows).subspan(*n_splitting) : std::span(rows);
  }
};

// `rows` split honestly from `stream` when the parameters ask for honesty.
[[nodiscard]] TreeRows arrange_rows(std::vector<std::uint32_t> rows, const TreeParams& params,
                                    ChaCha8Rng& stream);

// The half-sample group `group` of a forest of little bags draws its trees'
// rows from: floor(n / 2) rows without replacement, from a stream derived from
// (seed, group) alone.
[[nodiscard]] std::vector<std::uint32_t> draw_half_sample(std::size_t n, std::uint64_t seed,
                                                          std::uint64_t group);

// Why trees cannot come in groups of params.ci_group_size on n rows, or
// nothing when they can: the group size is at least 1 and n_trees a multiple
// of it; with groups, n >= 2 and subsample_fraction <= 0.5, since a tree draws
// its share of all n rows from its group's half-sample.
[[nodiscard]] std::optional<std::string> little_bag_mismatch(std::size_t n,
                                                             const ForestParams& params);

// The rows a forest's tree draws from n rows: sample_size(n, fraction), or,
// in little bags, sample_size(n / 2, 2 · fraction) of the group's
// half-sample, about as many.
[[nodiscard]] std::size_t tree_sample_size(std::size_t n, const ForestParams& params);

// The rows each tree of the forest draws from n rows (tree_sample_size) when
// they are too few for its trees, or nothing: an honest tree needs 2, one to
// split and one to estimate.
[[nodiscard]] std::optional<std::size_t> too_few_rows_drawn(std::size_t n,
                                                            const ForestParams& params);

// The rows each tree of the forest estimates its leaves on, of the
// tree_sample_size(n) it draws: all of them, or an honest tree's share left
// after the splitting rows (honest_split_size).
[[nodiscard]] std::size_t tree_estimation_size(std::size_t n, const ForestParams& params);

// The rows of tree `tree` of the forest `seed` defines, drawn from the start
// of the tree's stream: its sample of the n training rows (of its group's
// half-sample when trees come in little bags), arranged. Growing a tree and
// recovering later which rows it drew both call this, so the two cannot
// disagree. The rows take over `buffer` as draw_sample does.
[[nodiscard]] TreeRows draw_tree_rows(std::size_t n, const ForestParams& params, std::uint64_t seed,
                                      std::uint64_t tree, ChaCha8Rng& stream,
                                      std::vector<std::uint32_t> buffer = {});
// The same among the `kept` training rows only (ascending; all n when empty):
// the draw from kept.size() rows, each mapped to its training row, so a fit
// that leaves rows out draws as the fit on the other rows alone would.
[[nodiscard]] TreeRows draw_tree_rows(std::size_t n, std::span<const std::uint32_t> kept,
                                      const ForestParams& params, std::uint64_t seed,
                                      std::uint64_t tree, ChaCha8Rng& stream,
                                      std::vector<std::uint32_t> buffer = {});

// The candidate features of a tree's nodes: a partial Fisher–Yates draw of
// `per_node` features over a per-tree feature order, which is permuted in place
// and never reset. Drawing all features consumes no randomness.
class FeatureSampler {
 public:
  FeatureSampler(std::size_t n_features, std::uint32_t per_node);

  // The node's features, valid until the next draw.
  [[nodiscard]] std::span<const std::uint32_t> draw(ChaCha8Rng& stream);

 private:
  std::vector<std::uint32_t> order_;
  std::size_t per_node_;
};

}  // namespace korvane
