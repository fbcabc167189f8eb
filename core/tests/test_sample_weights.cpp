#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "criteria/sorted_node.hpp"
#include "korvane/criteria/gradient.hpp"
#include "korvane/error.hpp"
#include "korvane/forest_weights.hpp"
#include "korvane/in_bag.hpp"
#include "korvane/sample_weights.hpp"
#include "korvane/vector_unit.hpp"
#include "support.hpp"
#include "vector_unit_params.hpp"

namespace korvane {
namespace {

using testing::all_rows;
using testing::Dataset;

// `d` with the rows listed in `rows`, in that order.
Dataset rows_of(const Dataset& d, const std::vector<std::uint32_t>& rows) {
  std::vector<std::vector<double>> x;
  std::vector<double> time;
  std::vector<std::uint8_t> event;
  for (const std::uint32_t r : rows) {
    std::vector<double> row(d.p);
    for (std::size_t f = 0; f < d.p; ++f) row[f] = d.x[f * d.n + r];
    x.push_back(row);
    time.push_back(d.time[r]);
    event.push_back(d.event[r]);
  }
  return Dataset::from_rows(x, time, event);
}

Dataset with_row_twice(const Dataset& d, std::uint32_t k) {
  std::vector<std::uint32_t> rows = all_rows(d.n);
  rows.push_back(k);
  return rows_of(d, rows);
}

Dataset without_row(const Dataset& d, std::uint32_t k) {
  std::vector<std::uint32_t> rows = all_rows(d.n);
  rows.erase(rows.begin() + k);
  return rows_of(d, rows);
}

std::vector<double> weights_with(std::size_t n, std::uint32_t k, double w) {
  std::vector<double> weights(n, 1.0);
  weights[k] = w;
  return weights;
}

// Fractional weights with ties in times and covariates (Dataset::random).
std::vector<double> random_weights(std::size_t n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> draw(0.05, 3.0);
  std::vector<double> weights(n);
  for (double& w : weights) w = draw(gen);
  return weights;
}

Tree<StepFunction> weighted_tree(const Dataset& d, const RowWeights& weights,
                                 const TreeParams& params, std::uint64_t seed,
                                 VectorUnit unit = widest_vector_unit()) {
  const std::span<const double> w = weights.values();
  return fit_tree(d.covariates(), LogRankCriterion(d.time, d.event, w, unit),
                  NelsonAalenLeaves{d.time, d.event, w}, params, seed, CallControl{}, w);
}

Forest<StepFunction> weighted_forest(const Dataset& d, const RowWeights& weights,
                                     const ForestParams& params, std::uint64_t seed) {
  const std::span<const double> w = weights.values();
  return grow_forest(d.covariates(), LogRankCriterion(d.time, d.event, w),
                     NelsonAalenLeaves{d.time, d.event, w}, params, seed, CallControl{}, w);
}

TEST(RowWeights, WholeNumbersStayAndZerosAreLeftOut) {
  const std::vector<double> given{2.0, 0.0, 1.0, 7.0, 0.0};
  const RowWeights weights(given);
  EXPECT_TRUE(std::equal(given.begin(), given.end(), weights.values().begin()));
  EXPECT_EQ(weights.kept_rows(), (std::vector<std::uint32_t>{0, 2, 3}));
}

TEST(RowWeights, RescalingByAPowerOfTwoRescalesTheRoundedWeights) {
  const std::vector<double> given = random_weights(50, 1);
  std::vector<double> scaled = given;
  for (double& w : scaled) w *= 0x1p-20;
  const RowWeights weights(given);
  const RowWeights scaled_weights(scaled);
  for (std::size_t i = 0; i < given.size(); ++i) {
    EXPECT_EQ(scaled_weights.values()[i], weights.values()[i] * 0x1p-20);
  }
}

TEST(RowWeights, SumsOfRoundedWeightsDoNotDependOnTheirOrder) {
  const RowWeights weights(random_weights(500, 2));
  std::vector<double> values(weights.values().begin(), weights.values().end());
  double forward = 0.0;
  for (const double w : values) forward += w;
  std::sort(values.begin(), values.end());
  double ascending = 0.0;
  for (const double w : values) ascending += w;
  EXPECT_EQ(forward, ascending);
}

TEST(RowWeights, RoundedWeightsSumExactlyAndArbitraryOnesNeedNot) {
  EXPECT_TRUE(sums_exactly(RowWeights(random_weights(300, 5)).values()));
  // Weights whose total rounds up to a power of two stay exact.
  EXPECT_TRUE(sums_exactly(RowWeights(std::vector<double>{1.0 - 0x1p-52, 0x1p-53}).values()));
  EXPECT_FALSE(sums_exactly(std::vector<double>{1.0, 0x1p-60}));
}

class RefusedWeights : public ::testing::TestWithParam<std::vector<double>> {};

TEST_P(RefusedWeights, Throw) { EXPECT_THROW(RowWeights{GetParam()}, InternalError); }

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedWeights,
    ::testing::Values(std::vector<double>{1.0, -1.0}, std::vector<double>{0.0, 0.0},
                      std::vector<double>{}, std::vector<double>{1.0, std::nan("")},
                      std::vector<double>{std::numeric_limits<double>::infinity()},
                      std::vector<double>{std::numeric_limits<double>::max(),
                                          std::numeric_limits<double>::max()}));

// Weight 2 on a row and the row listed twice give the same tree to the last
// bit on every vector unit: whole weights sum exactly, as counts do. Every
// feature is a candidate at every node, so no node's feature draw can differ.
class DuplicatedRow : public ::testing::TestWithParam<std::tuple<std::uint32_t, VectorUnit>> {};

TEST_P(DuplicatedRow, WeightTwoGrowsTheTreeOfTheRowTwice) {
  const auto [k, unit] = GetParam();
  if (!supports(unit)) GTEST_SKIP() << "this processor lacks " << name_of(unit);
  const Dataset d = Dataset::random(90, 4, 7);
  const Dataset twice = with_row_twice(d, k);
  const TreeParams params = testing::params_with(1);
  const auto expected =
      fit_tree(twice.covariates(), LogRankCriterion(twice.time, twice.event, unit),
               twice.nelson_aalen(), params, 3);
  EXPECT_EQ(weighted_tree(d, RowWeights(weights_with(d.n, k, 2.0)), params, 3, unit), expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, DuplicatedRow,
                         ::testing::Combine(::testing::Values(0u, 17u, 89u),
                                            testing::every_vector_unit()));

TEST(WeightedTree, WeightZeroGrowsTheTreeWithoutTheRow) {
  const Dataset d = Dataset::random(80, 3, 9);
  const TreeParams params = testing::params_with(3);
  for (const std::uint32_t k : {0u, 40u, 79u}) {
    const Dataset removed = without_row(d, k);
    EXPECT_EQ(weighted_tree(d, RowWeights(weights_with(d.n, k, 0.0)), params, 5),
              testing::log_rank_tree(removed, params, 5));
  }
}

TEST(WeightedTree, UnitWeightsGrowTheUnweightedTree) {
  const Dataset d = Dataset::random(150, 5, 4);
  const TreeParams params = testing::params_with(2, MaxFeatures::fixed(2));
  EXPECT_EQ(weighted_tree(d, RowWeights(std::vector<double>(d.n, 1.0)), params, 8),
            testing::log_rank_tree(d, params, 8));
}

// The weighted log-rank statistic of one candidate in the exact pass's order of
// operations, with the ties correction capped at 1.
double weighted_score(const detail::SortedNode& node, const std::vector<bool>& left) {
  double at_risk_left = 0.0;
  for (std::size_t pos = 0; pos < left.size(); ++pos) {
    if (left[pos]) at_risk_left += node.sorted_weights[pos];
  }
  double u = 0.0;
  double v = 0.0;
  for (std::size_t g = 0; g < node.groups.size(); ++g) {
    double leaving = 0.0;
    double observed = 0.0;
    for (std::uint32_t pos = node.groups[g].start; pos < node.groups[g].end; ++pos) {
      if (!left[pos]) continue;
      leaving += node.sorted_weights[pos];
      if (node.sorted_events[pos] != 0) observed += node.sorted_weights[pos];
    }
    const double d = node.group_weighted_events[g];
    const double y = node.group_weighted_at_risk[g];
    if (d > 0.0) {
      const double survivors = y - d;
      const double divisor = std::max(y - 1.0, survivors);
      const double p = at_risk_left / y;
      const double e = p * d;
      u = u + (observed - e);
      v = v + (survivors * (e * (1.0 - p))) / (divisor > 0.0 ? divisor : 1.0);
    }
    at_risk_left -= leaving;
  }
  return v > 0.0 ? u * u / v : 0.0;
}

// The pruning passes bound weighted scores as they bound counted ones: with
// fractional weights the search still returns the best candidate of an
// exhaustive scan, with its exact score; under a floor on weight, the best of
// the candidates both sides of which weigh at least the floor.
class WeightedLogRank : public ::testing::TestWithParam<double> {};  // floor's share

TEST_P(WeightedLogRank, SearchFindsTheExhaustiveBestAdmissible) {
  for (const std::uint32_t seed : {1u, 2u, 3u, 4u}) {
    const Dataset d = Dataset::random(300, 3, seed);
    const RowWeights weights(random_weights(d.n, seed + 10));
    const LogRankCriterion criterion(d.time, d.event, weights.values());
    const std::vector<std::uint32_t> rows = all_rows(d.n);
    const detail::SortedNode node = detail::SortedNode::of(criterion, rows);
    double total = 0.0;
    for (const double w : node.sorted_weights) total += w;
    const double least = GetParam() * total;
    std::optional<double> best;
    for (std::uint32_t f = 0; f < d.p; ++f) {
      std::vector<double> values;
      for (const std::uint32_t r : node.sorted_rows) values.push_back(d.x[f * d.n + r]);
      std::vector<double> thresholds(values);
      std::sort(thresholds.begin(), thresholds.end());
      thresholds.erase(std::unique(thresholds.begin(), thresholds.end()), thresholds.end());
      for (std::size_t t = 0; t + 1 < thresholds.size(); ++t) {
        std::vector<bool> left(values.size());
        double left_weight = 0.0;
        for (std::size_t pos = 0; pos < values.size(); ++pos) {
          left[pos] = values[pos] <= thresholds[t];
          if (left[pos]) left_weight += node.sorted_weights[pos];
        }
        if (left_weight < least || total - left_weight < least) continue;
        best = std::max(best.value_or(-1.0), weighted_score(node, left));
      }
    }
    const std::vector<std::uint32_t> features{0, 1, 2};
    const auto split =
        criterion.find_best_split(d.covariates(), rows, features, ChildFloor{1, least});
    ASSERT_EQ(split.has_value(), best.has_value()) << "seed " << seed;
    if (best) {
      EXPECT_EQ(split->score, *best) << "seed " << seed;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Floors, WeightedLogRank, ::testing::Values(0.0, 0.2, 0.45, 0.5));

// With every row drawn (subsampling at fraction 1) and every feature a
// candidate, each tree is the full tree, so a forest shows the same
// equivalences; its forest weights give the weighted row its twin's share.
TEST(WeightedForest, WeightTwoEqualsTheRowTwiceInTreesAndForestWeights) {
  const Dataset d = Dataset::random(70, 3, 12);
  const std::uint32_t k = 11;
  const Dataset twice = with_row_twice(d, k);
  ForestParams params = testing::forest_params(3, false, 1.0);
  params.tree.max_features = MaxFeatures::all();
  params.tree.min_samples_leaf = 1;
  const auto weighted = weighted_forest(d, RowWeights(weights_with(d.n, k, 2.0)), params, 6);
  const auto expected = testing::log_rank_forest(twice, params, 6);
  EXPECT_EQ(weighted.trees, expected.trees);
  const auto w = forest_weights(weighted, d.column_major());
  const auto w_twice = forest_weights(expected, d.column_major());
  for (std::size_t q = 0; q < d.n; ++q) {
    for (std::size_t i = 0; i < d.n; ++i) {
      const double twin = i == k ? w_twice[q * twice.n + d.n] : 0.0;
      EXPECT_NEAR(w[q * d.n + i], w_twice[q * twice.n + i] + twin, 1e-15);
    }
  }
}

TEST(WeightedForest, WeightZeroEqualsTheForestWithoutTheRow) {
  const Dataset d = Dataset::random(90, 4, 13);
  const std::uint32_t k = 30;
  const Dataset removed = without_row(d, k);
  const ForestParams params = testing::forest_params(5, true, 0.8, 0.5);
  const auto weighted = weighted_forest(d, RowWeights(weights_with(d.n, k, 0.0)), params, 2);
  const auto expected = testing::log_rank_forest(removed, params, 2);
  EXPECT_EQ(weighted.trees, expected.trees);
  const auto counts = in_bag(weighted);
  const auto expected_counts = in_bag(expected);
  for (std::size_t b = 0; b < params.n_trees; ++b) {
    const auto recorded = testing::widened(weighted.recorded_leaves(b));
    const auto expected_recorded = testing::widened(expected.recorded_leaves(b));
    EXPECT_EQ(recorded[k], NO_LEAF);
    EXPECT_EQ(counts[b * d.n + k], 0u);
    for (std::size_t i = 0; i < removed.n; ++i) {
      const std::size_t row = i < k ? i : i + 1;
      EXPECT_EQ(recorded[row], expected_recorded[i]);
      EXPECT_EQ(counts[b * d.n + row], expected_counts[b * removed.n + i]);
    }
  }
}

TEST(WeightedForest, ForestWeightsSumToOneAndFollowTheRowWeights) {
  const Dataset d = Dataset::random(100, 3, 14);
  const RowWeights weights(random_weights(d.n, 3));
  const auto forest = weighted_forest(d, weights, testing::forest_params(6, true, 1.0), 1);
  const auto w = forest_weights(forest, d.column_major());
  for (std::size_t q = 0; q < d.n; ++q) {
    double total = 0.0;
    for (std::size_t i = 0; i < d.n; ++i) total += w[q * d.n + i];
    EXPECT_NEAR(total, 1.0, 1e-12);
  }
  // Two rows sharing every leaf share weight in proportion to their weights.
  const auto single = weighted_forest(d, weights, testing::forest_params(1, false, 1.0), 1);
  const auto w_single = forest_weights(single, d.column_major());
  const auto leaf_of = testing::widened(single.recorded_leaves(0));
  for (std::size_t i = 1; i < d.n; ++i) {
    if (leaf_of[i] != leaf_of[0]) continue;
    EXPECT_NEAR(w_single[i] / w_single[0], weights.values()[i] / weights.values()[0], 1e-12);
  }
}

TEST(WeightedLeaves, NelsonAalenSumsWeightsOfEventsAndAtRisk) {
  const std::vector<double> time{2.0, 1.0, 2.0, 3.0};
  const std::vector<std::uint8_t> event{1, 1, 0, 1};
  const std::vector<double> weight{1.5, 0.5, 1.0, 2.0};
  const NelsonAalenLeaves leaves{time, event, weight};
  const StepFunction curve = testing::with_times(leaves.estimate(all_rows(4)));
  const double at_1 = 0.5 / 5.0;
  const double at_2 = at_1 + 1.5 / 4.5;
  EXPECT_EQ(curve.value_at(1.0), at_1);
  EXPECT_EQ(curve.value_at(2.0), at_2);
  EXPECT_EQ(curve.value_at(3.0), at_2 + 2.0 / 2.0);
}

std::optional<BestSplit> gradient_split(const Dataset& d, std::span<const double> outcome,
                                        std::span<const double> weight,
                                        const ChildFloor& floor = 2) {
  const std::vector<std::uint32_t> features{0, 1, 2};
  return GradientCriterion(outcome, weight)
      .find_best_split(d.covariates(), all_rows(d.n), features, floor);
}

TEST(WeightedGradient, WeightsActAsDuplicatesAndRescalingKeepsTheSplit) {
  const Dataset d = Dataset::random(60, 3, 15);
  const std::uint32_t k = 7;
  const Dataset twice = with_row_twice(d, k);
  std::vector<double> outcome(d.time);
  std::vector<double> outcome_twice(twice.time);
  const auto unweighted = gradient_split(d, outcome, {});
  const auto ones = gradient_split(d, outcome, RowWeights(std::vector<double>(d.n, 1.0)).values());
  EXPECT_EQ(ones, unweighted);
  const RowWeights doubled(weights_with(d.n, k, 2.0));
  const auto weighted = gradient_split(d, outcome, doubled.values());
  const auto expected = gradient_split(twice, outcome_twice, {});
  ASSERT_TRUE(weighted && expected);
  EXPECT_EQ(weighted->feature, expected->feature);
  EXPECT_EQ(weighted->threshold, expected->threshold);
  EXPECT_NEAR(weighted->score, expected->score, 1e-12 * expected->score);
  std::vector<double> tripled(doubled.values().begin(), doubled.values().end());
  for (double& w : tripled) w *= 3.0;
  const auto rescaled = gradient_split(d, outcome, RowWeights(tripled).values());
  ASSERT_TRUE(rescaled);
  EXPECT_EQ(rescaled->feature, weighted->feature);
  EXPECT_EQ(rescaled->threshold, weighted->threshold);
}

// A floor on weight is, with whole weights, a floor on the repeated rows'
// count: the side with the row of weight 2 weighs what the side with it
// twice counts.
TEST(WeightedGradient, AFloorOnWeightIsAFloorOnTheCountOfRepeatedRows) {
  const Dataset d = Dataset::random(60, 3, 16);
  const std::uint32_t k = 11;
  const Dataset twice = with_row_twice(d, k);
  for (const double least : {5.0, 17.0, 29.0}) {
    const auto weighted = gradient_split(d, d.time, RowWeights(weights_with(d.n, k, 2.0)).values(),
                                         ChildFloor{1, least});
    const auto expected =
        gradient_split(twice, twice.time, {}, static_cast<std::size_t>(std::ceil(least)));
    ASSERT_EQ(weighted.has_value(), expected.has_value()) << least;
    if (!expected) continue;
    EXPECT_EQ(weighted->feature, expected->feature) << least;
    EXPECT_EQ(weighted->threshold, expected->threshold) << least;
    EXPECT_NEAR(weighted->score, expected->score, 1e-12 * expected->score) << least;
  }
}

}  // namespace
}  // namespace korvane
