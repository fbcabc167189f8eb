#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "korvane/criteria/gradient.hpp"
#include "support.hpp"

namespace korvane {
namespace {

using testing::all_rows;
using testing::Dataset;

const std::vector<std::uint32_t> kFirstFeature{0};

// The best variance-reduction split of four rows with outcomes `y`, by default
// on the feature values 0 to 3.
std::optional<BestSplit> best_gradient_split(const std::vector<double>& y,
                                             std::size_t min_samples_leaf,
                                             std::vector<std::vector<double>> values = {
                                                 {0}, {1}, {2}, {3}}) {
  const Dataset d = Dataset::from_rows(values, {}, {});
  return GradientCriterion(y).find_best_split(d.covariates(), all_rows(4), kFirstFeature,
                                              min_samples_leaf);
}

struct GradientCase {
  std::vector<double> y;
  std::size_t min_samples_leaf;
  std::optional<double> threshold;
  double score;
};

class Gradient : public ::testing::TestWithParam<GradientCase> {};

TEST_P(Gradient, FindsTheLargestVarianceReduction) {
  const auto split = best_gradient_split(GetParam().y, GetParam().min_samples_leaf);
  ASSERT_EQ(split.has_value(), GetParam().threshold.has_value());
  if (!split) return;
  EXPECT_EQ(split->threshold, *GetParam().threshold);
  EXPECT_DOUBLE_EQ(split->score, GetParam().score);
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(Cases, Gradient,
                         ::testing::Values(GradientCase{{1, 1, 3, 3}, 1, 1.5, 4.0},
                                           GradientCase{{1, 1, 3, 3}, 2, 1.5, 4.0},
                                           GradientCase{{2, 2, 2, 2}, 1, 0.5, 0.0},
                                           GradientCase{{1, 1, 3, 3}, 3, std::nullopt, 0.0},
                                           GradientCase{{1, kNaN, 3, 3}, 1, std::nullopt, 0.0}));

TEST(Gradient, SideScoresMatchHandComputation) {
  // Only the boundary after the first value is admissible on the left-heavy side.
  const auto split = best_gradient_split({1, 1, 3, 3}, 1, {{0}, {1}, {1}, {1}});
  ASSERT_TRUE(split);
  EXPECT_DOUBLE_EQ(split->score, 4.0 / 3.0);
}

TEST(Gradient, SaturatesTwiceMinSamplesLeaf) {
  EXPECT_FALSE(best_gradient_split({1, 1, 3, 3}, SIZE_MAX / 2 + 2));
}

}  // namespace
}  // namespace korvane
