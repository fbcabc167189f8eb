#include <gtest/gtest.h>

#include <vector>

#include "korvane/error.hpp"
#include "korvane/node_table.hpp"

namespace korvane {
namespace {

// Post-order: leaf 0, leaf 1, their parent (on feature 1), leaf 2, the root
// (on feature 0, NaN left). In pre-order: root, parent, leaf 0, leaf 1, leaf 2.
std::vector<NodeKind> two_level_tree() {
  return {node::Leaf{0}, node::Leaf{1},
          node::Split{.threshold = 0.5, .score = 2.0, .feature = 1, .left = 0, .right = 1},
          node::Leaf{2},
          node::Split{.threshold = 1.5,
                      .score = 7.0,
                      .feature = 0,
                      .left = 2,
                      .right = 3,
                      .missing_left = true}};
}

TEST(NodeTable, NumbersNodesInPreorderWithLeavesMarked) {
  const std::vector<NodeKind> nodes = two_level_tree();
  const NodeTable table = node_table(nodes, 4);
  EXPECT_EQ(table.children_left, (std::vector<std::int64_t>{1, 2, -1, -1, -1}));
  EXPECT_EQ(table.children_right, (std::vector<std::int64_t>{4, 3, -1, -1, -1}));
  EXPECT_EQ(table.feature, (std::vector<std::int64_t>{0, 1, -2, -2, -2}));
  EXPECT_EQ(table.threshold, (std::vector<double>{1.5, 0.5, -2.0, -2.0, -2.0}));
  EXPECT_EQ(table.score, (std::vector<double>{7.0, 2.0, 0.0, 0.0, 0.0}));
  EXPECT_EQ(table.missing_left, (std::vector<std::uint8_t>{1, 0, 0, 0, 0}));
  EXPECT_EQ(table.leaf, (std::vector<std::int64_t>{-1, -1, 0, 1, 2}));
  EXPECT_TRUE(table.n_samples.empty());
}

TEST(NodeTable, SumsLeafSizesUpEverySubtree) {
  const std::vector<NodeKind> nodes = two_level_tree();
  const std::vector<std::uint32_t> sizes{3, 0, 5};
  EXPECT_EQ(node_table(nodes, 4, sizes).n_samples, (std::vector<std::int64_t>{8, 3, 3, 0, 5}));
}

TEST(NodeTable, OneLeafTreeIsOneRow) {
  const std::vector<NodeKind> nodes{node::Leaf{0}};
  const std::vector<std::uint32_t> sizes{4};
  const NodeTable table = node_table(nodes, 0, sizes);
  EXPECT_EQ(table.leaf, (std::vector<std::int64_t>{0}));
  EXPECT_EQ(table.n_samples, (std::vector<std::int64_t>{4}));
}

TEST(NodeTable, LeafWithoutSizeIsAnInternalError) {
  const std::vector<NodeKind> nodes = two_level_tree();
  const std::vector<std::uint32_t> sizes{1, 1};
  EXPECT_THROW((void)node_table(nodes, 4, sizes), InternalError);
}

}  // namespace
}  // namespace korvane
