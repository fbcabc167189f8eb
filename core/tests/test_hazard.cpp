#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "korvane/builder.hpp"
#include "korvane/hazard.hpp"
#include "support.hpp"

namespace korvane {
namespace {

using testing::Dataset;
using testing::log_rank_tree;
using testing::params_with;

// Sorted grids take a forward walk over each leaf's jumps; it must agree with
// evaluating every time on its own, ties, infinities and repeats included.
TEST(Tree, SortedAndUnsortedTimesPredictTheSameValues) {
  const Dataset d = Dataset::random(300, 3, 21);
  const auto tree = log_rank_tree(d, params_with(5), 0);
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<double> times{-inf, 0.0, 1.0, 1.0, 2.5, 3.0, 7.0, 7.0, 9.5, 30.0, inf};
  const auto hazard = predict_cumulative_hazard(tree, d.column_major(), times);
  for (std::size_t row = 0; row < d.n; ++row) {
    const StepCurve curve = tree.leaves[tree.predict_leaf(d.column_major(), row)];
    for (std::size_t j = 0; j < times.size(); ++j) {
      EXPECT_EQ(hazard[row * times.size() + j], curve.value_at(times[j]));
    }
  }
}

TEST(Tree, PredictsTheLeafCurveAtEveryTime) {
  const Dataset d = Dataset::four_events();
  const auto tree = log_rank_tree(d, params_with(2), 0);
  const std::vector<double> query{0.0, 3.0};
  const std::vector<double> times{3.0, 1.0, 3.0};
  const auto hazard = predict_cumulative_hazard(tree, MatrixView{query.data(), 2, 1, 1, 2}, times);
  EXPECT_EQ(hazard, (std::vector<double>{1.5, 0.5, 1.5, 0.5, 0.0, 0.5}));
  EXPECT_TRUE(predict_cumulative_hazard(tree, MatrixView{query.data(), 2, 1, 1, 2}, {}).empty());
}

ForestParams forest_params(bool bootstrap, double fraction, std::optional<double> honesty) {
  ForestParams params;
  params.n_trees = 8;
  params.bootstrap = bootstrap;
  params.subsample_fraction = fraction;
  params.tree = params_with(3, MaxFeatures::sqrt());
  params.tree.honesty = honesty;
  return params;
}

TEST(Forest, OutOfBagHazardIsNaNForRowsEveryTreeDrew) {
  const Dataset d = Dataset::random(30, 2, 3);
  const auto forest = grow_forest(d.covariates(), d.log_rank(), d.nelson_aalen(),
                                  forest_params(false, 1.0, std::nullopt), 4);
  const std::vector<double> times{1.0, 5.0};
  for (const double value : oob_cumulative_hazard(forest, d.column_major(), times)) {
    EXPECT_TRUE(std::isnan(value));
  }
  EXPECT_THROW((void)oob_cumulative_hazard(forest, MatrixView{d.x.data(), 29, 2, 1, 30}, times),
               InternalError);
}

TEST(ForestPrediction, OneTreeForestEqualsItsTree) {
  const Dataset d = Dataset::random(50, 3, 15);
  ForestParams forest_params;
  forest_params.n_trees = 1;
  forest_params.tree = params_with(3, MaxFeatures::sqrt());
  const auto forest = grow_forest(d.covariates(), d.log_rank(), d.nelson_aalen(), forest_params, 0);
  const std::vector<double> times{0.5, 3.0, 7.0, 100.0};
  EXPECT_EQ(predict_cumulative_hazard(forest, d.column_major(), times),
            predict_cumulative_hazard(forest.trees[0], d.column_major(), times));
}

}  // namespace
}  // namespace korvane
