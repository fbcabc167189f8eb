#include <gtest/gtest.h>

#include <limits>

#include "korvane/builder.hpp"
#include "korvane/tree.hpp"
#include "support.hpp"

namespace korvane {
namespace {

using testing::Dataset;
using testing::params_with;

TEST(Tree, RootSplitIsNumberedAfterItsLeaves) {
  const Dataset d = Dataset::four_events();
  const auto tree = fit_tree(d.covariates(), d.log_rank(), d.nelson_aalen(), params_with(2), 0);
  ASSERT_EQ(tree.n_nodes(), 3u);
  EXPECT_EQ(tree.root, 2u);
  EXPECT_EQ(tree.nodes[0], NodeKind(node::Leaf{0}));
  EXPECT_EQ(tree.nodes[1], NodeKind(node::Leaf{1}));
  const auto& split = std::get<node::Split>(tree.nodes[2]);
  EXPECT_EQ(split.feature, 0u);
  EXPECT_EQ(split.threshold, 1.5);
  EXPECT_EQ(split.left, 0u);
  EXPECT_EQ(split.right, 1u);
  // The split keeps the criterion's score of it.
  EXPECT_DOUBLE_EQ(split.score, 49.0 / 17.0);
  EXPECT_EQ(tree.depth(), 1u);
  // The threshold value itself goes left; NaN goes right.
  const std::vector<double> queries{1.5, std::numeric_limits<double>::quiet_NaN()};
  EXPECT_EQ(tree.predict_leaf(MatrixView{queries.data(), 2, 1, 1, 2}, 0), 0u);
  EXPECT_EQ(tree.predict_leaf(MatrixView{queries.data(), 2, 1, 1, 2}, 1), 1u);
}

}  // namespace
}  // namespace korvane
