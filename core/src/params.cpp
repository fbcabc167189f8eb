#include "korvane/params.hpp"

#include <algorithm>
#include <cmath>

#include "korvane/format.hpp"
#include "saturating.hpp"

namespace korvane {

std::uint32_t MaxFeatures::resolve(std::size_t p) const {
  // Without columns there is nothing to draw; every node then becomes a leaf.
  if (p == 0) return 0;
  std::uint64_t raw = p;
  if (kind == Kind::Fixed) raw = count;
  if (kind == Kind::Sqrt) {
    raw = detail::saturating_cast<std::uint32_t>(std::sqrt(static_cast<double>(p)));
  }
  return static_cast<std::uint32_t>(std::clamp<std::uint64_t>(raw, 1, p));
}

std::size_t effective_min_samples_split(std::size_t min_samples_split,
                                        std::size_t min_samples_leaf) {
  // ceil(split / 2) <= leaf is split <= 2 · leaf without overflow.
  const std::size_t half_up = min_samples_split - min_samples_split / 2;
  return half_up <= min_samples_leaf ? TreeParams{}.min_samples_split : min_samples_split;
}

std::optional<std::string> MaxFeatures::mismatch(std::size_t p) const {
  if (kind != Kind::Fixed) return std::nullopt;
  if (count == 0) return "max_features must be >= 1";
  if (count > p) {
    return "max_features=" + std::to_string(count) + " exceeds n_features=" + std::to_string(p);
  }
  return std::nullopt;
}

std::optional<std::string> settings_mismatch(const TreeParams& params) {
  if (params.honesty && !(*params.honesty > 0.0 && *params.honesty < 1.0)) {
    return "honesty_fraction must lie in (0, 1), got " + format_shortest(*params.honesty);
  }
  if (params.min_samples_split < 2) {
    return "min_samples_split must be >= 2, got " + std::to_string(params.min_samples_split);
  }
  if (params.max_leaf_nodes && *params.max_leaf_nodes < 2) {
    return "max_leaf_nodes must be None or >= 2, got " + std::to_string(*params.max_leaf_nodes);
  }
  const double fraction = params.min_weight_fraction_leaf;
  if (!(fraction >= 0.0 && fraction <= 0.5)) {
    return "min_weight_fraction_leaf must lie in [0, 0.5], got " + format_shortest(fraction);
  }
  return std::nullopt;
}

std::optional<std::string> settings_mismatch(const ForestParams& params) {
  const double fraction = params.subsample_fraction;
  if (!(fraction > 0.0 && fraction <= 1.0)) {
    return "subsample_fraction must lie in (0, 1], got " + format_shortest(fraction);
  }
  if (params.n_trees == 0) return "n_trees must be >= 1";
  return settings_mismatch(params.tree);
}

}  // namespace korvane
