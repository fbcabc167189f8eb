#pragma once

#include <algorithm>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <variant>
#include <vector>

#include "korvane/data.hpp"

namespace korvane {

namespace node {
// The doubles come first so that the split packs into 32 bytes (a node, 40):
// a forest at a million rows holds some 100,000 nodes per tree.
struct Split {
  double threshold;
  double score;  // the criterion's score of this split, kept for importances
  std::uint32_t feature;
  std::uint32_t left;
  std::uint32_t right;
  // Where a row whose value is missing (NaN) goes. Fits that refuse missing
  // values leave it false, so NaN goes right as it always has.
  bool missing_left = false;
  friend bool operator==(const Split&, const Split&) = default;
};
struct Leaf {
  std::uint32_t leaf;
  friend bool operator==(const Leaf&, const Leaf&) = default;
};
}  // namespace node

using NodeKind = std::variant<node::Split, node::Leaf>;
static_assert(sizeof(NodeKind) <= 40);

// Whether a split sends a row holding `value` in its feature left. A present
// value is compared first, so only a value above the threshold pays for the
// missing-value test.
[[nodiscard]] inline bool goes_left(const node::Split& split, double value) {
  return value <= split.threshold || (split.missing_left && std::isnan(value));
}

// How a tree keeps its leaves' payloads: in a vector, unless the payload
// names a denser collection of its own (as StepFunction does).
template <class Payload>
struct LeafStorage {
  using type = std::vector<Payload>;
};
template <class Payload>
  requires requires { typename Payload::Collection; }
struct LeafStorage<Payload> {
  using type = typename Payload::Collection;
};
template <class Payload>
using LeafStorageOf = typename LeafStorage<Payload>::type;

// The heap a tree with a single leaf (and an empty payload) takes for it.
template <class Payload>
[[nodiscard]] constexpr std::size_t one_leaf_bytes() {
  if constexpr (requires { LeafStorageOf<Payload>::kOneLeafBytes; }) {
    return LeafStorageOf<Payload>::kOneLeafBytes;
  } else {
    return sizeof(Payload);
  }
}

// What the builder and the queries ask of a tree's leaves (LeafEstimate says
// what a leaf's estimate is appended as).
template <class C>
concept LeafCollection = requires(C& leaves, const C& fixed) {
  { fixed.size() } -> std::convertible_to<std::size_t>;
  fixed[std::size_t{0}];
  leaves.reserve(std::size_t{0});
  leaves.shrink_to_fit();
  leaves.clear();
};

// A fitted binary tree. Nodes are numbered in post-order (children before their
// parent, left subtree first), so the root is the last node and leaves are
// numbered from left to right.
template <class Payload>
struct Tree {
  using Leaves = LeafStorageOf<Payload>;
  static_assert(LeafCollection<Leaves>);

  std::vector<NodeKind> nodes;
  Leaves leaves;
  std::uint32_t root = 0;
  std::uint32_t n_features = 0;

  [[nodiscard]] std::size_t n_nodes() const { return nodes.size(); }
  [[nodiscard]] std::size_t n_leaves() const { return leaves.size(); }

  // Longest path from the root down to a leaf. Iterative over the post-order
  // numbering, so trees as deep as their row count are fine.
  [[nodiscard]] std::uint32_t depth() const {
    std::vector<std::uint32_t> depth_of(nodes.size(), 0);
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      if (const auto* split = std::get_if<node::Split>(&nodes[i])) {
        depth_of[i] = 1 + std::max(depth_of[split->left], depth_of[split->right]);
      }
    }
    return nodes.empty() ? 0 : depth_of[root];
  }

  // Leaf reached by row `row` of x; values <= threshold go left, NaN the way
  // each split recorded.
  [[nodiscard]] std::uint32_t predict_leaf(const MatrixView& x, std::size_t row) const {
    std::uint32_t at = root;
    while (const auto* split = std::get_if<node::Split>(&nodes[at])) {
      at = goes_left(*split, x.at(row, split->feature)) ? split->left : split->right;
    }
    return std::get<node::Leaf>(nodes[at]).leaf;
  }

  friend bool operator==(const Tree&, const Tree&) = default;
};

// The leaf the tree sends each row of x to.
template <class Payload>
[[nodiscard]] std::vector<std::uint32_t> apply(const Tree<Payload>& tree, const MatrixView& x) {
  std::vector<std::uint32_t> leaves(x.n_rows);
  for (std::size_t row = 0; row < x.n_rows; ++row) leaves[row] = tree.predict_leaf(x, row);
  return leaves;
}

// Adds the score of each of the tree's splits to its feature's entry.
template <class Payload>
void add_split_scores(const Tree<Payload>& tree, std::span<double> importance) {
  for (const NodeKind& node : tree.nodes) {
    if (const auto* split = std::get_if<node::Split>(&node))
      importance[split->feature] += split->score;
  }
}

// Per feature, the scores of the tree's splits on it.
template <class Payload>
[[nodiscard]] std::vector<double> split_importance(const Tree<Payload>& tree) {
  std::vector<double> importance(tree.n_features, 0.0);
  add_split_scores(tree, importance);
  return importance;
}

}  // namespace korvane
