#include "korvane/params.hpp"

#include <algorithm>
#include <cmath>

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

}  // namespace korvane
