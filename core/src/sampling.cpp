#include "korvane/sampling.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>
#include <utility>

#include "korvane/error.hpp"
#include "korvane/format.hpp"
#include "saturating.hpp"

namespace korvane {

std::vector<ChaCha8Rng::Seed> derive_tree_seeds(std::uint64_t seed, std::size_t n_trees) {
  return derive_tree_seeds(seed, 0, n_trees);
}

std::vector<ChaCha8Rng::Seed> derive_tree_seeds(std::uint64_t seed, std::uint64_t first,
                                                std::size_t count) {
  // A keystream block of 64 bytes holds two seeds.
  constexpr std::uint64_t kSeedsPerBlock = 2;
  ChaCha8Rng stream = ChaCha8Rng::seed_from_u64(seed);
  stream.seek_block(first / kSeedsPerBlock);
  ChaCha8Rng::Seed skipped{};
  if (first % kSeedsPerBlock != 0) stream.fill_bytes(skipped);
  std::vector<ChaCha8Rng::Seed> seeds(count);
  for (ChaCha8Rng::Seed& tree_seed : seeds) stream.fill_bytes(tree_seed);
  return seeds;
}

std::size_t rounded_share(double fraction, std::size_t n) {
  return detail::saturating_cast<std::size_t>(std::round(fraction * static_cast<double>(n)));
}

std::size_t sample_size(std::size_t n, double fraction) {
  return std::clamp<std::size_t>(rounded_share(fraction, n), 1, n);
}

namespace {

// m of the rows 0 .. n - 1 (m <= n), with replacement or as a partial forward
// Fisher–Yates shuffle, in `sample`'s storage.
std::vector<std::uint32_t> draw_rows(std::size_t n, std::size_t m, bool bootstrap,
                                     ChaCha8Rng& stream, std::vector<std::uint32_t> sample = {}) {
  // Cleared first, so that growing the storage copies nothing.
  sample.clear();
  if (bootstrap) {
    sample.resize(m);
    for (std::uint32_t& row : sample) row = static_cast<std::uint32_t>(stream.random_range(0, n));
    return sample;
  }
  sample.resize(n);
  std::iota(sample.begin(), sample.end(), 0u);
  for (std::size_t i = 0; i < m; ++i) {
    std::swap(sample[i], sample[stream.random_range(i, n)]);
  }
  sample.resize(m);
  return sample;
}

// Group seeds come from the far half of the keystream whose start gives the
// tree seeds, so no group's stream is a tree's.
constexpr std::uint64_t kFirstGroupSeed = std::uint64_t{1} << 63;

}  // namespace

std::vector<std::uint32_t> draw_sample(std::size_t n, bool bootstrap, double fraction,
                                       ChaCha8Rng& stream, std::vector<std::uint32_t> buffer) {
  if (!(fraction > 0.0 && fraction <= 1.0)) {
    fail("bootstrap fraction must lie in (0, 1], got " + format_shortest(fraction));
  }
  return draw_rows(n, sample_size(n, fraction), bootstrap, stream, std::move(buffer));
}

std::vector<std::uint32_t> draw_half_sample(std::size_t n, std::uint64_t seed,
                                            std::uint64_t group) {
  ChaCha8Rng stream = ChaCha8Rng::from_seed(derive_tree_seeds(seed, kFirstGroupSeed + group, 1)[0]);
  return draw_rows(n, n / 2, false, stream);
}

std::optional<std::string> little_bag_mismatch(std::size_t n, const ForestParams& params) {
  const std::size_t g = params.ci_group_size;
  if (g == 0) return "ci_group_size must be at least 1";
  if (params.n_trees % g != 0) {
    return "n_trees = " + std::to_string(params.n_trees) +
           " is not a multiple of ci_group_size = " + std::to_string(g);
  }
  if (g == 1) return std::nullopt;
  if (!(params.subsample_fraction <= 0.5)) {
    return "with ci_group_size > 1 each tree draws from a half-sample, so subsample_fraction "
           "must be at most 0.5, got " +
           format_shortest(params.subsample_fraction);
  }
  if (n < 2)
    return "with ci_group_size > 1 a forest needs at least 2 rows, got " + std::to_string(n);
  return std::nullopt;
}

std::size_t tree_sample_size(std::size_t n, const ForestParams& params) {
  if (params.ci_group_size <= 1) return sample_size(n, params.subsample_fraction);
  return sample_size(n / 2, 2.0 * params.subsample_fraction);
}

std::optional<std::size_t> too_few_rows_drawn(std::size_t n, const ForestParams& params) {
  const std::size_t drawn = tree_sample_size(n, params);
  if (params.tree.honesty && drawn < 2) return drawn;
  return std::nullopt;
}

std::size_t tree_estimation_size(std::size_t n, const ForestParams& params) {
  const std::size_t drawn = tree_sample_size(n, params);
  if (!params.tree.honesty || drawn < 2) return drawn;
  return drawn - honest_split_size(*params.tree.honesty, drawn);
}

void shuffle_in_place(std::span<std::uint32_t> rows, ChaCha8Rng& stream) {
  for (std::size_t i = rows.size(); i-- > 1;) {
    const auto j = static_cast<std::size_t>(stream.random_range_inclusive(0, i));
    std::swap(rows[i], rows[j]);
  }
}

std::size_t honest_split_size(double fraction, std::size_t n) {
  return std::clamp<std::size_t>(rounded_share(fraction, n), 1, n - 1);
}

std::size_t split_honestly(std::span<std::uint32_t> rows, double fraction, ChaCha8Rng& stream) {
  if (!(fraction > 0.0 && fraction < 1.0)) {
    fail("honesty fraction must lie in (0, 1), got " + format_shortest(fraction));
  }
  if (rows.size() < 2) {
    fail("an honest tree needs at least 2 rows, got " + std::to_string(rows.size()));
  }
  shuffle_in_place(rows, stream);
  return honest_split_size(fraction, rows.size());
}

TreeRows arrange_rows(std::vector<std::uint32_t> rows, const TreeParams& params,
                      ChaCha8Rng& stream) {
  TreeRows arranged{std::move(rows), std::nullopt};
  if (params.honesty) arranged.n_splitting = split_honestly(arranged.rows, *params.honesty, stream);
  return arranged;
}

TreeRows draw_tree_rows(std::size_t n, const ForestParams& params, std::uint64_t seed,
                        std::uint64_t tree, ChaCha8Rng& stream, std::vector<std::uint32_t> buffer) {
  if (params.ci_group_size <= 1) {
    return arrange_rows(
        draw_sample(n, params.bootstrap, params.subsample_fraction, stream, std::move(buffer)),
        params.tree, stream);
  }
  if (const auto mismatch = little_bag_mismatch(n, params)) fail(*mismatch);
  const std::vector<std::uint32_t> half = draw_half_sample(n, seed, tree / params.ci_group_size);
  std::vector<std::uint32_t> rows = draw_rows(half.size(), tree_sample_size(n, params),
                                              params.bootstrap, stream, std::move(buffer));
  for (std::uint32_t& row : rows) row = half[row];
  return arrange_rows(std::move(rows), params.tree, stream);
}

TreeRows draw_tree_rows(std::size_t n, std::span<const std::uint32_t> kept,
                        const ForestParams& params, std::uint64_t seed, std::uint64_t tree,
                        ChaCha8Rng& stream, std::vector<std::uint32_t> buffer) {
  if (kept.empty()) return draw_tree_rows(n, params, seed, tree, stream, std::move(buffer));
  // Arranging only permutes positions, so mapping after it draws the same rows.
  TreeRows drawn = draw_tree_rows(kept.size(), params, seed, tree, stream, std::move(buffer));
  for (std::uint32_t& row : drawn.rows) row = kept[row];
  return drawn;
}

FeatureSampler::FeatureSampler(std::size_t n_features, std::uint32_t per_node)
    : order_(n_features), per_node_(std::min<std::size_t>(n_features, per_node)) {
  std::iota(order_.begin(), order_.end(), 0u);
}

std::span<const std::uint32_t> FeatureSampler::draw(ChaCha8Rng& stream) {
  const std::size_t n = order_.size();
  if (n > per_node_) {
    for (std::size_t j = 0; j < per_node_; ++j) {
      const auto r = static_cast<std::size_t>(stream.random_range(j, n));
      std::swap(order_[j], order_[r]);
    }
  }
  return std::span(order_).first(per_node_);
}

}  // namespace korvane
