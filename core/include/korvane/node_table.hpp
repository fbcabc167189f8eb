#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "korvane/tree.hpp"

namespace korvane {

// A tree's nodes as parallel tables numbered depth first in pre-order (root 0,
// a node before its left subtree, the left subtree before the right), the
// layout of scikit-learn's trees, so that tools written for those can walk
// korvane's. The tree itself keeps post-order; this is a copy for reading.
struct NodeTable {
  static constexpr std::int64_t kNoChild = -1;
  static constexpr std::int64_t kNoFeature = -2;
  static constexpr double kNoThreshold = -2.0;
  static constexpr std::int64_t kNotALeaf = -1;

  std::vector<std::int64_t> children_left;   // kNoChild at a leaf
  std::vector<std::int64_t> children_right;  // kNoChild at a leaf
  std::vector<std::int64_t> feature;         // kNoFeature at a leaf
  std::vector<double> threshold;             // kNoThreshold at a leaf
  std::vector<double> score;                 // the split's score; 0 at a leaf
  std::vector<std::uint8_t> missing_left;    // 1 where NaN goes left; 0 at a leaf
  std::vector<std::int64_t> leaf;            // the leaf's index among leaves; kNotALeaf at a split
  // Rows recorded under each node, summed from the leaves' sizes; empty when
  // no leaf sizes were given.
  std::vector<std::int64_t> n_samples;
};

// The table of the nodes of a tree whose root is `root`. `leaf_sizes`, when not
// empty, holds the rows recorded in each leaf.
[[nodiscard]] NodeTable node_table(std::span<const NodeKind> nodes, std::uint32_t root,
                                   std::span<const std::uint32_t> leaf_sizes = {});

template <class Payload>
[[nodiscard]] NodeTable node_table(const Tree<Payload>& tree,
                                   std::span<const std::uint32_t> leaf_sizes = {}) {
  return node_table(tree.nodes, tree.root, leaf_sizes);
}

}  // namespace korvane
