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
  ChaCha8Rng stream = ChaCha8Rng::seed_from_u64(seed);
  std::vector<ChaCha8Rng::Seed> seeds(n_trees);
  for (ChaCha8Rng::Seed& tree_seed : seeds) stream.fill_bytes(tree_seed);
  return seeds;
}

std::size_t rounded_share(double fraction, std::size_t n) {
  return detail::saturating_cast<std::size_t>(std::round(fraction * static_cast<double>(n)));
}

std::size_t sample_size(std::size_t n, double fraction) {
  return std::clamp<std::size_t>(rounded_share(fraction, n), 1, n);
}

std::vector<std::uint32_t> draw_sample(std::size_t n, bool bootstrap, double fraction,
                                       ChaCha8Rng& stream) {
  if (!(fraction > 0.0 && fraction <= 1.0)) {
    fail("bootstrap fraction must lie in (0, 1], got " + format_shortest(fraction));
  }
  const std::size_t m = sample_size(n, fraction);
  if (bootstrap) {
    std::vector<std::uint32_t> sample(m);
    for (std::uint32_t& row : sample) row = static_cast<std::uint32_t>(stream.random_range(0, n));
    return sample;
  }
  std::vector<std::uint32_t> sample(n);
  std::iota(sample.begin(), sample.end(), 0u);
  for (std::size_t i = 0; i < m; ++i) {
    std::swap(sample[i], sample[stream.random_range(i, n)]);
  }
  sample.resize(m);
  return sample;
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

HonestRows split_honestly(std::span<std::uint32_t> rows, double fraction, ChaCha8Rng& stream) {
  if (!(fraction > 0.0 && fraction < 1.0)) {
    fail("honesty fraction must lie in (0, 1), got " + format_shortest(fraction));
  }
  if (rows.size() < 2) {
    fail("an honest tree needs at least 2 rows, got " + std::to_string(rows.size()));
  }
  shuffle_in_place(rows, stream);
  const std::size_t s = honest_split_size(fraction, rows.size());
  return {rows.first(s), {rows.begin() + static_cast<std::ptrdiff_t>(s), rows.end()}};
}

FeatureSampler::FeatureSampler(std::size_t n_features, std::uint32_t per_node)
    : order_(n_features), per_node_(std::min<std::size_t>(n_features, per_node)) {
  std::iota(order_.begin(), order_.end(), 0u);
}

std::vector<std::uint32_t> FeatureSampler::draw(ChaCha8Rng& stream) {
  const std::size_t n = order_.size();
  if (n > per_node_) {
    for (std::size_t j = 0; j < per_node_; ++j) {
      const auto r = static_cast<std::size_t>(stream.random_range(j, n));
      std::swap(order_[j], order_[r]);
    }
  }
  return {order_.begin(), order_.begin() + static_cast<std::ptrdiff_t>(per_node_)};
}

}  // namespace korvane
