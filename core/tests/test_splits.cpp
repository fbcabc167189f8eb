#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "event_group_scorer.hpp"
#include "korvane/splits.hpp"
#include "support.hpp"

namespace korvane {
namespace {

using testing::all_rows;
using testing::Dataset;

const std::vector<std::uint32_t> kFirstFeature{0};

// The best log-rank split of all rows of `d` on its first feature.
std::optional<BestSplit> best_log_rank_split(const Dataset& d, std::size_t min_samples_leaf) {
  return LogRankCriterion{}.find_best_split(d.data(), all_rows(d.n), kFirstFeature,
                                            min_samples_leaf);
}

TEST(LogRank, PicksTheHighestScoringThreshold) {
  const Dataset d = Dataset::four_events();
  const auto split = best_log_rank_split(d, 1);
  ASSERT_TRUE(split);
  EXPECT_EQ(split->threshold, 0.5);
  EXPECT_DOUBLE_EQ(split->score, 3.0);
  const auto node = SortedNode::from_subset(d.data(), all_rows(4));
  EXPECT_DOUBLE_EQ(node.log_rank_score(std::vector<std::uint8_t>{1, 1, 0, 0}), 49.0 / 17.0);
  EXPECT_DOUBLE_EQ(node.log_rank_score(std::vector<std::uint8_t>{1, 1, 1, 0}), 169.0 / 95.0);
}

TEST(LogRank, MinSamplesLeafLimitsCandidates) {
  const auto split = best_log_rank_split(Dataset::four_events(), 2);
  ASSERT_TRUE(split);
  EXPECT_EQ(split->threshold, 1.5);
  const Dataset lopsided = Dataset::from_rows({{1}, {1}, {1}, {2}}, {1, 2, 3, 4}, {1, 1, 1, 1});
  EXPECT_FALSE(best_log_rank_split(lopsided, 2));
}

TEST(LogRank, TiedTimesUseTheTiesCorrection) {
  const Dataset d = Dataset::from_rows({{0}, {0}, {0}, {0}}, {1, 1, 2, 2}, {1, 0, 1, 1});
  const auto node = SortedNode::from_subset(d.data(), all_rows(4));
  EXPECT_EQ(node.groups.size(), 2u);
  EXPECT_EQ(node.group_at_risk, (std::vector<std::uint32_t>{4, 2}));
  EXPECT_DOUBLE_EQ(node.log_rank_score(std::vector<std::uint8_t>{1, 0, 1, 0}), 1.0);
}

TEST(LogRank, ZeroVarianceCandidateIsStillAccepted) {
  const auto split = best_log_rank_split(Dataset::from_rows({{0}, {1}}, {1, 2}, {0, 1}), 1);
  ASSERT_TRUE(split);
  EXPECT_EQ(split->threshold, 0.5);
  EXPECT_EQ(split->score, 0.0);
}

TEST(LogRank, NoSplitWithoutEventsOrRowsOrVariation) {
  const Dataset censored = Dataset::from_rows({{0}, {1}, {2}}, {1, 2, 3}, {0, 2, 0});
  EXPECT_FALSE(best_log_rank_split(censored, 1));
  EXPECT_FALSE(LogRankCriterion{}.find_best_split(censored.data(), {}, kFirstFeature, 1));
  EXPECT_FALSE(
      best_log_rank_split(Dataset::from_rows({{-0.0}, {0.0}, {0.0}}, {1, 2, 3}, {1, 1, 1}), 1));
}

TEST(LogRank, DuplicateRowsCountAsOccurrences) {
  const Dataset d = Dataset::from_rows({{0}, {1}}, {1, 2}, {1, 1});
  const auto split = LogRankCriterion{}.find_best_split(
      d.data(), std::vector<std::uint32_t>{0, 0, 1}, kFirstFeature, 1);
  ASSERT_TRUE(split);
  EXPECT_NEAR(split->score, 2.0, 1e-12);
}

TEST(LogRank, TiesPreferTheEarlierFeatureThenTheSmallerThreshold) {
  // Features 0 and 1 are identical; the symmetric data gives equal scores at 0.5 and 2.5.
  const Dataset d = Dataset::from_rows({{0, 0}, {1, 1}, {2, 2}, {3, 3}}, {1, 2, 2, 1}, {1, 1, 1, 1});
  const auto split = LogRankCriterion{}.find_best_split(d.data(), all_rows(4),
                                                        std::vector<std::uint32_t>{1, 0}, 1);
  ASSERT_TRUE(split);
  EXPECT_EQ(split->feature, 1u);
  EXPECT_EQ(split->threshold, 0.5);
}

TEST(LogRank, MidpointReachesInfinity) {
  const double inf = std::numeric_limits<double>::infinity();
  const auto split = best_log_rank_split(Dataset::from_rows({{1.0}, {inf}}, {1, 2}, {1, 1}), 1);
  ASSERT_TRUE(split);
  EXPECT_EQ(split->threshold, inf);
}

// The split search scores over event groups only; it must agree to the last bit
// with the reference pass over every time group.
// The search bounds candidates cheaply and scores exactly, in vector lanes, only
// those that may win; it must pick exactly the split that a plain exhaustive
// search with the reference score picks, ties included (feature 3 repeats
// feature 0, so every best score on it ties with an earlier one).
TEST(LogRank, SearchEqualsExhaustiveReferenceSearchBitForBit) {
  for (std::uint32_t seed = 0; seed < 60; ++seed) {
    Dataset d = Dataset::random(40 + 7 * seed, 3, seed);
    std::mt19937 gen(seed);
    if (seed % 2 == 0) {  // continuous covariates: a candidate at almost every row
      for (double& v : d.x) v = std::ldexp(static_cast<double>(gen() % 100000), -10);
    }
    d.x.insert(d.x.end(), d.x.begin(), d.x.begin() + static_cast<std::ptrdiff_t>(d.n));
    d.p = 4;
    std::vector<std::uint32_t> rows;
    for (std::size_t i = 0; i < d.n; ++i) rows.push_back(static_cast<std::uint32_t>(gen() % d.n));
    const std::size_t min_leaf = 1 + seed % 4;
    const std::vector<std::uint32_t> features{3, 1, 0, 2};
    const auto split = LogRankCriterion{}.find_best_split(d.data(), rows, features, min_leaf);
    // The search compiled for every vector unit the processor has.
    for (const auto unit : {detail::VectorUnit::kAvx2, detail::VectorUnit::kBaseline}) {
      if (!detail::supports(unit)) continue;
      EXPECT_EQ(detail::find_log_rank_split(d.data(), rows, features, min_leaf, unit), split) << seed;
    }
    const SortedNode node = SortedNode::from_subset(d.data(), rows);
    std::optional<BestSplit> expected;
    for (const std::uint32_t f : {3u, 1u, 0u, 2u}) {
      std::vector<double> values;
      for (const std::uint32_t row : rows) values.push_back(d.x[f * d.n + row]);
      std::sort(values.begin(), values.end());
      values.erase(std::unique(values.begin(), values.end()), values.end());
      for (std::size_t b = 0; b + 1 < values.size(); ++b) {
        std::vector<std::uint8_t> marks(rows.size());
        std::size_t left = 0;
        for (std::size_t pos = 0; pos < rows.size(); ++pos) {
          marks[pos] = d.x[f * d.n + node.sorted_rows[pos]] <= values[b] ? 1 : 0;
          left += marks[pos];
        }
        if (left < min_leaf || rows.size() - left < min_leaf) continue;
        const double score = node.log_rank_score(marks);
        if (!expected || score > expected->score) {
          expected = BestSplit{f, (values[b] + values[b + 1]) * 0.5, score};
        }
      }
    }
    ASSERT_EQ(split.has_value(), expected.has_value()) << seed;
    if (!split) continue;
    EXPECT_EQ(split->feature, expected->feature) << seed;
    EXPECT_EQ(split->threshold, expected->threshold) << seed;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(split->score), std::bit_cast<std::uint64_t>(expected->score))
        << seed;
  }
}

// The best variance-reduction split of four rows with outcomes `y`, by default
// on the feature values 0 to 3.
std::optional<BestSplit> best_gradient_split(const std::vector<double>& y,
                                             std::size_t min_samples_leaf,
                                             std::vector<std::vector<double>> values = {
                                                 {0}, {1}, {2}, {3}}) {
  const Dataset d = Dataset::from_rows(values, {0, 0, 0, 0}, {0, 0, 0, 0});
  return GradientCriterion(y).find_best_split(d.data(), all_rows(4), kFirstFeature,
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
