#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

#include "korvane/criteria/gradient.hpp"
#include "korvane/forest_weights.hpp"
#include "korvane/in_bag.hpp"
#include "support.hpp"

namespace korvane {
namespace {

using testing::Dataset;
using testing::forest_params;
using testing::log_rank_forest;

// The weights of one query row by the definition: a scan of every training row
// of every tree, increments summed in tree order, then one division.
std::vector<double> scanned_weights(const Forest<StepFunction>& forest, const MatrixView& x,
                                    std::size_t row) {
  std::vector<double> weights(forest.n_train_samples, 0.0);
  for (std::size_t b = 0; b < forest.n_trees(); ++b) {
    const std::uint32_t leaf = forest.trees[b].predict_leaf(x, row);
    const std::uint32_t size = forest.leaf_sizes[b][leaf];
    if (size == 0) continue;
    const double increment = 1.0 / static_cast<double>(size);
    const auto recorded = forest.recorded_leaves(b);
    for (std::size_t i = 0; i < weights.size(); ++i) {
      if (recorded[i] == leaf) weights[i] += increment;
    }
  }
  for (double& w : weights) w /= static_cast<double>(forest.n_trees());
  return weights;
}

TEST(ForestWeights, FullSamplesGiveWeightsSummingToOne) {
  const Dataset d = Dataset::random(70, 4, 10);
  const auto forest = log_rank_forest(d, forest_params(5, false, 1.0), 3);
  for (std::size_t b = 0; b < 5; ++b) {
    const auto& sizes = forest.leaf_sizes[b];
    EXPECT_EQ(std::accumulate(sizes.begin(), sizes.end(), 0u), d.n);
  }
  const std::vector<double> query{1, 2, 3, 4};
  const auto w = forest_weights(forest, VectorView{query.data(), 4, 1});
  EXPECT_NEAR(std::accumulate(w.begin(), w.end(), 0.0), 1.0, 1e-12);
}

TEST(ForestWeights, OneTreeSharesOneOverLeafSize) {
  const Dataset d = Dataset::random(40, 2, 12);
  const auto forest = grow_forest(d.covariates(), GradientCriterion(d.time), NoLeaves{},
                                  forest_params(1, true, 1.0), 6);
  const VectorView query{d.x.data(), 2, static_cast<std::ptrdiff_t>(d.n)};
  const std::uint32_t leaf = forest.trees[0].predict_leaf(d.column_major(), 0);
  const double share = 1.0 / forest.leaf_sizes[0][leaf];
  const auto w = forest_weights(forest, query);
  for (std::size_t i = 0; i < d.n; ++i) {
    EXPECT_EQ(w[i], forest.recorded_leaves(0)[i] == leaf ? share : 0.0);
  }
}

// A few query rows scan every tree's recorded leaves, more rows visit only the
// rows of each reached leaf, and a single row is a batch of one; all must equal
// the scan of the definition to the last bit.
class ForestWeightsBatch : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ForestWeightsBatch, EqualsTheScanBitForBit) {
  const std::size_t n_queries = GetParam();
  const Dataset d = Dataset::random(150, 4, 13);
  const auto forest = log_rank_forest(d, forest_params(17, true, 0.7, 0.4), 5);
  const Dataset queries = Dataset::random(n_queries, 4, 14);
  const auto batch = forest_weights(forest, queries.column_major());
  ASSERT_EQ(batch.size(), n_queries * d.n);
  const auto stride = static_cast<std::ptrdiff_t>(n_queries);
  for (std::size_t r = 0; r < n_queries; ++r) {
    const auto scanned = scanned_weights(forest, queries.column_major(), r);
    EXPECT_EQ(0, std::memcmp(scanned.data(), batch.data() + r * d.n, d.n * sizeof(double))) << r;
    const auto single = forest_weights(forest, VectorView{queries.x.data() + r, 4, stride});
    EXPECT_EQ(0, std::memcmp(scanned.data(), single.data(), d.n * sizeof(double))) << r;
  }
  EXPECT_TRUE(forest_weights(forest, MatrixView{queries.x.data(), 0, 4, 1, 0}).empty());
}

INSTANTIATE_TEST_SUITE_P(QueryRows, ForestWeightsBatch,
                         ::testing::Values(std::size_t{1}, std::size_t{3}, std::size_t{25}));

// Out-of-bag weights of training row i are the weights of x_i in the forest of
// only the trees that did not draw i.
TEST(ForestWeights, OutOfBagRowsEqualTheForestOfTheirOutOfBagTrees) {
  const Dataset d = Dataset::random(60, 3, 5);
  for (const auto& params : {forest_params(7, true, 1.0), forest_params(7, false, 0.5, 0.5)}) {
    const auto forest = log_rank_forest(d, params, 2);
    const auto drawn = in_bag(forest);
    const auto oob = oob_forest_weights(forest, d.column_major());
    for (std::size_t i = 0; i < d.n; ++i) {
      Forest<StepFunction> out_of_bag = forest;
      out_of_bag.trees.clear();
      out_of_bag.recorded_leaf.clear();
      out_of_bag.leaf_sizes.clear();
      for (std::size_t b = 0; b < forest.n_trees(); ++b) {
        if (drawn[b * d.n + i] != 0) continue;
        out_of_bag.trees.push_back(forest.trees[b]);
        const auto recorded = forest.recorded_leaves(b);
        out_of_bag.recorded_leaf.insert(out_of_bag.recorded_leaf.end(), recorded.begin(),
                                        recorded.end());
        out_of_bag.leaf_sizes.push_back(forest.leaf_sizes[b]);
      }
      const auto row = std::span(oob).subspan(i * d.n, d.n);
      if (out_of_bag.n_trees() == 0) {
        EXPECT_TRUE(std::all_of(row.begin(), row.end(), [](double w) { return std::isnan(w); }));
        continue;
      }
      const auto expected = scanned_weights(out_of_bag, d.column_major(), i);
      EXPECT_TRUE(std::equal(row.begin(), row.end(), expected.begin()));
    }
  }
}

}  // namespace
}  // namespace korvane
