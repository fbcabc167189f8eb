#include <gtest/gtest.h>

#include <numeric>

#include "korvane/in_bag.hpp"
#include "support.hpp"

namespace korvane {
namespace {

using testing::Dataset;

ForestParams forest_params(bool bootstrap, double fraction, std::optional<double> honesty,
                           std::size_t ci_group_size) {
  ForestParams params;
  params.ci_group_size = ci_group_size;
  params.n_trees = 6;
  params.bootstrap = bootstrap;
  params.subsample_fraction = fraction;
  params.tree.min_samples_leaf = 3;
  params.tree.max_features = MaxFeatures::sqrt();
  params.tree.honesty = honesty;
  return params;
}

Forest<StepFunction> log_rank_forest(const Dataset& d, const ForestParams& params,
                                     TreeRange trees) {
  return grow_forest(d.covariates(), d.log_rank(), d.nelson_aalen(), params, 31, trees);
}

struct Sampling {
  bool bootstrap;
  double fraction;
  std::optional<double> honesty;
  std::size_t ci_group_size = 1;
};

class InBag : public ::testing::TestWithParam<Sampling> {
 protected:
  const Dataset d = Dataset::random(75, 3, 4);
  ForestParams params() const {
    return forest_params(GetParam().bootstrap, GetParam().fraction, GetParam().honesty,
                         GetParam().ci_group_size);
  }
};

// The replayed draws agree with what the fit recorded: every tree draws its
// sample size, and its estimation rows are exactly the rows it recorded.
TEST_P(InBag, ReplaysTheDrawsTheFitRecorded) {
  const auto forest = log_rank_forest(d, params(), {0, 6});
  const auto counts = in_bag(forest);
  const auto estimation = honest_estimation(forest);
  for (std::size_t b = 0; b < 6; ++b) {
    const auto tree_counts = std::span(counts).subspan(b * d.n, d.n);
    EXPECT_EQ(std::accumulate(tree_counts.begin(), tree_counts.end(), std::size_t{0}),
              tree_sample_size(d.n, params()));
    const auto leaves = testing::widened(forest.recorded_leaves(b));
    for (std::size_t i = 0; i < d.n; ++i) {
      const bool recorded = leaves[i] != NO_LEAF;
      EXPECT_EQ(estimation[b * d.n + i] == 1, recorded);
      EXPECT_TRUE(!recorded || tree_counts[i] > 0);
      EXPECT_TRUE(GetParam().bootstrap || tree_counts[i] <= 1);
      EXPECT_TRUE(GetParam().honesty || recorded == (tree_counts[i] > 0));
    }
  }
}

TEST_P(InBag, OfAPieceAreTheRowsOfItsTreesInTheWholeForest) {
  const auto whole = in_bag(log_rank_forest(d, params(), {0, 6}));
  const auto piece = in_bag(log_rank_forest(d, params(), {2, 5}));
  EXPECT_TRUE(std::equal(piece.begin(), piece.end(), whole.begin() + 2 * d.n));
}

// Trees of one little bag draw only from their group's half-sample, and
// groups draw different halves.
TEST(LittleBags, DrawFromTheirGroupsHalfSample) {
  const Dataset d = Dataset::random(75, 3, 4);
  for (const Sampling& sampling : {Sampling{false, 0.5, 0.5, 2}, Sampling{true, 0.3, {}, 3}}) {
    const std::size_t g = sampling.ci_group_size;
    const auto counts = in_bag(log_rank_forest(
        d, forest_params(sampling.bootstrap, sampling.fraction, sampling.honesty, g), {0, 6}));
    for (std::size_t group = 0; group < 6 / g; ++group) {
      const std::vector<std::uint32_t> half = draw_half_sample(d.n, 31, group);
      EXPECT_EQ(half.size(), d.n / 2);
      std::vector<bool> in_half(d.n, false);
      for (const std::uint32_t row : half) in_half[row] = true;
      for (std::size_t b = group * g; b < (group + 1) * g; ++b) {
        for (std::size_t i = 0; i < d.n; ++i) EXPECT_TRUE(in_half[i] || counts[b * d.n + i] == 0);
      }
    }
  }
  EXPECT_NE(draw_half_sample(d.n, 31, 0), draw_half_sample(d.n, 31, 1));
}

INSTANTIATE_TEST_SUITE_P(Samplings, InBag,
                         ::testing::Values(Sampling{true, 1.0, std::nullopt},
                                           Sampling{false, 0.6, std::nullopt},
                                           Sampling{true, 0.8, 0.5}, Sampling{false, 0.7, 0.3},
                                           Sampling{false, 0.5, 0.5, 2},
                                           Sampling{true, 0.3, std::nullopt, 3}));

}  // namespace
}  // namespace korvane
