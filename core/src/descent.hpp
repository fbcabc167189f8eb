#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "korvane/call_control.hpp"
#include "korvane/data.hpp"
#include "korvane/forest.hpp"
#include "korvane/memory.hpp"
#include "korvane/pool.hpp"
#include "korvane/tree.hpp"

namespace korvane::detail {

// One tree laid out for descending many rows at once. Tree::predict_leaf walks
// one row at a time, and each step waits for the node it loads and guesses the
// side the row goes, which a split guesses wrong about half the time. Here a
// step picks the child by index, with no branch, and a leaf points to itself,
// so several rows step together and a row that reached its leaf stays there:
// the loads of their nodes overlap instead of queuing. Every step decides as
// goes_left does, so each row reaches the leaf predict_leaf gives.
class Descent {
  struct Node {
    double threshold;
    std::uint32_t feature;
    std::uint32_t missing_left;          // 1 when NaN goes left
    std::array<std::uint32_t, 2> child;  // [right, left]; a leaf's own index twice
  };

 public:
  // Memory a descent takes per node of its tree.
  static constexpr std::size_t kBytesPerNode = sizeof(Node) + sizeof(std::uint32_t);

  template <class Payload>
  explicit Descent(const Tree<Payload>& tree)
      : nodes_(tree.n_nodes()), leaf_of_(tree.n_nodes(), 0), root_(tree.root) {
    for (std::uint32_t i = 0; i < tree.n_nodes(); ++i) {
      if (const auto* split = std::get_if<node::Split>(&tree.nodes[i])) {
        nodes_[i] = {split->threshold,
                     split->feature,
                     split->missing_left ? 1u : 0u,
                     {split->right, split->left}};
      } else {
        nodes_[i] = {0.0, 0, 0, {i, i}};
        leaf_of_[i] = std::get<node::Leaf>(tree.nodes[i]).leaf;
      }
    }
  }

  // Writes the leaf reached by row first + i of x into leaves[i], for every i;
  // x needs at least one column.
  void leaves(const MatrixView& x, std::size_t first, std::span<std::uint32_t> leaves) const;

 private:
  // Moves `at`, the nodes of rows first, first + 1, ..., one level down;
  // false once every one of them was at its leaf already.
  template <std::size_t N>
  bool step(const MatrixView& x, std::size_t first, std::array<std::uint32_t, N>& at) const;

  std::vector<Node> nodes_;
  std::vector<std::uint32_t> leaf_of_;  // the leaf number of each leaf node
  std::uint32_t root_;
};

// Query rows descended at once: enough to load each tree's nodes once for
// many rows, few enough that their reached leaves (this many per tree) stay
// small beside the results they serve.
inline constexpr std::size_t kQueryChunk = 4096;

// The memory the descents of the forest's trees and the leaves reached by a
// chunk of n_rows query rows take.
template <class Payload>
[[nodiscard]] std::uint64_t descent_bytes(const Forest<Payload>& forest, std::size_t n_rows) {
  const std::size_t chunk = std::min(n_rows, kQueryChunk);
  std::uint64_t bytes =
      saturating_mul(saturating_mul(chunk, forest.n_trees()), sizeof(std::uint32_t));
  for (const Tree<Payload>& tree : forest.trees) {
    bytes = saturating_add(bytes, saturating_mul(tree.n_nodes(), Descent::kBytesPerNode));
  }
  return bytes;
}

// Writes the leaf the tree reaches for row first + i of x into leaves[i]. A
// descent costs a pass over the tree's nodes to lay out, which pays once the
// rows are about one for every kNodesPerDescendedRow nodes; fewer rows walk
// the tree itself. So do rows without columns (a loaded model may have none,
// and then no split): a descent reads column 0 even at a leaf.
template <class Payload>
void descend(const Tree<Payload>& tree, const MatrixView& x, std::size_t first,
             std::span<std::uint32_t> leaves) {
  constexpr std::size_t kNodesPerDescendedRow = 64;
  if (x.n_cols == 0 || leaves.size() * kNodesPerDescendedRow < tree.n_nodes()) {
    for (std::size_t i = 0; i < leaves.size(); ++i) leaves[i] = tree.predict_leaf(x, first + i);
    return;
  }
  Descent(tree).leaves(x, first, leaves);
}

// The leaf each tree of the forest reaches for rows [first, first + count) of
// x, at [b · count + i]. Each tree descends them all in one task, so that its
// nodes are loaded once for them all.
template <class Payload>
[[nodiscard]] std::vector<std::uint32_t> reached_leaves(const Forest<Payload>& forest,
                                                        const MatrixView& x, std::size_t first,
                                                        std::size_t count,
                                                        const CallControl& control) {
  std::vector<std::uint32_t> reached(forest.n_trees() * count);
  pool::parallel_for_each(forest.n_trees(), [&](std::size_t b) {
    control.check();
    descend(forest.trees[b], x, first, std::span(reached).subspan(b * count, count));
  });
  return reached;
}

// Calls use(first, count, reached) for the query rows of x in chunks of
// kQueryChunk, in order, with `reached` the leaves of rows
// [first, first + count) as reached_leaves gives them.
template <class Payload, class Use>
void for_each_chunk(const Forest<Payload>& forest, const MatrixView& x, const CallControl& control,
                    Use&& use) {
  for (std::size_t first = 0; first < x.n_rows; first += kQueryChunk) {
    const std::size_t count = std::min(kQueryChunk, x.n_rows - first);
    const std::vector<std::uint32_t> reached = reached_leaves(forest, x, first, count, control);
    use(first, count, std::span<const std::uint32_t>(reached));
  }
}

}  // namespace korvane::detail
