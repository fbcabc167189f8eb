#include "descent.hpp"

#include <cmath>

namespace korvane::detail {

namespace {

// Rows stepped together: more than the processor keeps loads in flight for
// gains nothing.
constexpr std::size_t kLanes = 8;

}  // namespace

template <std::size_t N>
bool Descent::step(const MatrixView& x, std::size_t first, std::array<std::uint32_t, N>& at) const {
  bool moved = false;
  for (std::size_t k = 0; k < N; ++k) {
    const Node& node = nodes_[at[k]];
    const double value = x.at(first + k, node.feature);
    const bool left = (value <= node.threshold) | ((node.missing_left != 0) & std::isnan(value));
    const std::uint32_t next = node.child[left ? 1 : 0];
    moved |= next != at[k];
    at[k] = next;
  }
  return moved;
}

void Descent::leaves(const MatrixView& x, std::size_t first,
                     std::span<std::uint32_t> leaves) const {
  std::size_t i = 0;
  for (; i + kLanes <= leaves.size(); i += kLanes) {
    std::array<std::uint32_t, kLanes> at;
    at.fill(root_);
    while (step(x, first + i, at)) {
    }
    for (std::size_t k = 0; k < kLanes; ++k) leaves[i + k] = leaf_of_[at[k]];
  }
  for (; i < leaves.size(); ++i) {
    std::array<std::uint32_t, 1> at{root_};
    while (step(x, first + i, at)) {
    }
    leaves[i] = leaf_of_[at[0]];
  }
}

}  // namespace korvane::detail
