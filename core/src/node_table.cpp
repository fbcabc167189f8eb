#include "korvane/node_table.hpp"

#include <string>
#include <variant>

#include "korvane/error.hpp"

namespace korvane {

namespace {

// The post-order indices of the nodes in pre-order. The stack is explicit, so
// trees as deep as their row count are fine.
std::vector<std::uint32_t> preorder(std::span<const NodeKind> nodes, std::uint32_t root) {
  std::vector<std::uint32_t> order;
  if (nodes.empty()) return order;
  order.reserve(nodes.size());
  std::vector<std::uint32_t> pending{root};
  while (!pending.empty()) {
    const std::uint32_t at = pending.back();
    pending.pop_back();
    order.push_back(at);
    if (const auto* split = std::get_if<node::Split>(&nodes[at])) {
      pending.push_back(split->right);
      pending.push_back(split->left);
    }
  }
  return order;
}

void resize(NodeTable& table, std::size_t n) {
  table.children_left.resize(n);
  table.children_right.resize(n);
  table.feature.resize(n);
  table.threshold.resize(n);
  table.score.resize(n);
  table.missing_left.resize(n);
  table.leaf.resize(n);
}

void set_split(NodeTable& table, std::size_t k, const node::Split& split,
               std::span<const std::int64_t> id) {
  table.children_left[k] = id[split.left];
  table.children_right[k] = id[split.right];
  table.feature[k] = split.feature;
  table.threshold[k] = split.threshold;
  table.score[k] = split.score;
  table.missing_left[k] = split.missing_left ? 1 : 0;
  table.leaf[k] = NodeTable::kNotALeaf;
}

void set_leaf(NodeTable& table, std::size_t k, const node::Leaf& leaf) {
  table.children_left[k] = NodeTable::kNoChild;
  table.children_right[k] = NodeTable::kNoChild;
  table.feature[k] = NodeTable::kNoFeature;
  table.threshold[k] = NodeTable::kNoThreshold;
  table.score[k] = 0.0;
  table.missing_left[k] = 0;
  table.leaf[k] = leaf.leaf;
}

// Children come after their parent in pre-order, so one backward pass sums
// every subtree.
void count_samples(NodeTable& table, std::span<const std::uint32_t> leaf_sizes) {
  const std::size_t n = table.leaf.size();
  table.n_samples.assign(n, 0);
  for (std::size_t k = n; k-- > 0;) {
    const std::int64_t leaf = table.leaf[k];
    if (leaf == NodeTable::kNotALeaf) {
      table.n_samples[k] = table.n_samples[static_cast<std::size_t>(table.children_left[k])] +
                           table.n_samples[static_cast<std::size_t>(table.children_right[k])];
    } else if (static_cast<std::size_t>(leaf) < leaf_sizes.size()) {
      table.n_samples[k] = leaf_sizes[static_cast<std::size_t>(leaf)];
    } else {
      fail("leaf " + std::to_string(leaf) + " has no size among " +
           std::to_string(leaf_sizes.size()));
    }
  }
}

}  // namespace

NodeTable node_table(std::span<const NodeKind> nodes, std::uint32_t root,
                     std::span<const std::uint32_t> leaf_sizes) {
  const std::vector<std::uint32_t> order = preorder(nodes, root);
  std::vector<std::int64_t> id(nodes.size());
  for (std::size_t k = 0; k < order.size(); ++k) id[order[k]] = static_cast<std::int64_t>(k);
  NodeTable table;
  resize(table, order.size());
  for (std::size_t k = 0; k < order.size(); ++k) {
    if (const auto* split = std::get_if<node::Split>(&nodes[order[k]])) {
      set_split(table, k, *split, id);
    } else {
      set_leaf(table, k, std::get<node::Leaf>(nodes[order[k]]));
    }
  }
  if (!leaf_sizes.empty()) count_samples(table, leaf_sizes);
  return table;
}

}  // namespace korvane
