#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "criteria/log_rank_reference.hpp"
#include "criteria/sorted_node.hpp"
#include "korvane/criteria/log_rank.hpp"
#include "korvane/error.hpp"
#include "support.hpp"

namespace korvane {
namespace {

using testing::all_rows;
using testing::Dataset;

const std::vector<std::uint32_t> kFirstFeature{0};

// The best log-rank split of all rows of `d` on its first feature.
std::optional<BestSplit> best_log_rank_split(const Dataset& d, std::size_t min_samples_leaf) {
  return d.log_rank().find_best_split(d.covariates(), all_rows(d.n), kFirstFeature,
                                      min_samples_leaf);
}

// The reference score of marked rows of a node of all rows of `d`.
double reference_score(const Dataset& d, const std::vector<std::uint8_t>& marks) {
  return testing::log_rank_score(detail::SortedNode::of(d.log_rank(), all_rows(d.n)), marks);
}

// The split a plain exhaustive search with the reference score picks: the first
// best over features in the given order, thresholds in ascending order.
std::optional<BestSplit> exhaustive_best_split(const Dataset& d,
                                               const std::vector<std::uint32_t>& rows,
                                               const std::vector<std::uint32_t>& features,
                                               std::size_t min_leaf) {
  const auto node = detail::SortedNode::of(d.log_rank(), rows);
  std::optional<BestSplit> expected;
  for (const std::uint32_t f : features) {
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
      const double score = testing::log_rank_score(node, marks);
      if (!expected || score > expected->score) {
        expected = BestSplit{f, (values[b] + values[b + 1]) * 0.5, score};
      }
    }
  }
  return expected;
}

void expect_same_bits(const std::optional<BestSplit>& split,
                      const std::optional<BestSplit>& expected, std::uint32_t seed) {
  ASSERT_EQ(split.has_value(), expected.has_value()) << seed;
  if (!split) return;
  EXPECT_EQ(split->feature, expected->feature) << seed;
  EXPECT_EQ(split->threshold, expected->threshold) << seed;
  EXPECT_EQ(std::bit_cast<std::uint64_t>(split->score),
            std::bit_cast<std::uint64_t>(expected->score))
      << seed;
}

TEST(LogRank, PicksTheHighestScoringThreshold) {
  const Dataset d = Dataset::four_events();
  const auto split = best_log_rank_split(d, 1);
  ASSERT_TRUE(split);
  EXPECT_EQ(split->threshold, 0.5);
  EXPECT_DOUBLE_EQ(split->score, 3.0);
  EXPECT_DOUBLE_EQ(reference_score(d, {1, 1, 0, 0}), 49.0 / 17.0);
  EXPECT_DOUBLE_EQ(reference_score(d, {1, 1, 1, 0}), 169.0 / 95.0);
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
  const auto node = detail::SortedNode::of(d.log_rank(), all_rows(4));
  EXPECT_EQ(node.groups.size(), 2u);
  EXPECT_EQ(node.group_at_risk, (std::vector<std::uint32_t>{4, 2}));
  EXPECT_EQ(node.group_events, (std::vector<std::uint32_t>{1, 2}));
  EXPECT_DOUBLE_EQ(testing::log_rank_score(node, std::vector<std::uint8_t>{1, 0, 1, 0}), 1.0);
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
  EXPECT_FALSE(censored.log_rank().find_best_split(censored.covariates(), {}, kFirstFeature, 1));
  EXPECT_FALSE(
      best_log_rank_split(Dataset::from_rows({{-0.0}, {0.0}, {0.0}}, {1, 2, 3}, {1, 1, 1}), 1));
}

TEST(LogRank, DuplicateRowsCountAsOccurrences) {
  const Dataset d = Dataset::from_rows({{0}, {1}}, {1, 2}, {1, 1});
  const auto split = d.log_rank().find_best_split(
      d.covariates(), std::vector<std::uint32_t>{0, 0, 1}, kFirstFeature, 1);
  ASSERT_TRUE(split);
  EXPECT_NEAR(split->score, 2.0, 1e-12);
}

TEST(LogRank, TiesPreferTheEarlierFeatureThenTheSmallerThreshold) {
  // Features 0 and 1 are identical; the symmetric data gives equal scores at 0.5 and 2.5.
  const Dataset d =
      Dataset::from_rows({{0, 0}, {1, 1}, {2, 2}, {3, 3}}, {1, 2, 2, 1}, {1, 1, 1, 1});
  const auto split = d.log_rank().find_best_split(d.covariates(), all_rows(4),
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
    const Covariates covariates = d.covariates();
    const auto split = d.log_rank().find_best_split(covariates, rows, features, min_leaf);
    // The search compiled for every vector unit the processor has.
    for (const VectorUnit unit : kAllVectorUnits) {
      if (!supports(unit)) continue;
      const LogRankCriterion criterion(d.time, d.event, unit);
      EXPECT_EQ(criterion.find_best_split(covariates, rows, features, min_leaf), split)
          << seed << ' ' << name_of(unit);
    }
    expect_same_bits(split, exhaustive_best_split(d, rows, features, min_leaf), seed);
  }
}

// A walk with few candidates is scored exactly without bounds, one with many
// is bounded first; in a node holding both kinds (and features with exactly
// as many candidates as the cut-off, and one more), the split must still be
// the exhaustive search's to the last bit, ties with the repeated feature
// included. Nodes of 128 rows or more bound runs of candidates before single
// ones.
class LogRankFewAndManyCandidates
    : public ::testing::TestWithParam<std::pair<std::size_t, std::size_t>> {};  // rows, leaf

TEST_P(LogRankFewAndManyCandidates, NodeGivesTheExhaustiveSearchSplit) {
  const auto [n, min_leaf] = GetParam();
  // Distinct values per feature: 2, 9 and 10 (8 and 9 candidates with a leaf
  // of 1), 30, every row its own, and feature 1 again.
  const std::vector<std::uint32_t> levels{2, 9, 10, 30, 0};
  for (std::uint32_t seed = 0; seed < 6; ++seed) {
    Dataset d = Dataset::random(n, levels.size(), seed);
    std::mt19937 gen(seed);
    for (std::size_t f = 0; f < levels.size(); ++f) {
      for (std::size_t i = 0; i < n; ++i) {
        d.x[f * n + i] = static_cast<double>(levels[f] == 0 ? gen() % 100000 : i % levels[f]);
      }
      std::shuffle(d.x.begin() + static_cast<std::ptrdiff_t>(f * n),
                   d.x.begin() + static_cast<std::ptrdiff_t>((f + 1) * n), gen);
    }
    // A signal in feature 2, so that not every best split is noise.
    for (std::size_t i = 0; i < n; ++i) d.time[i] += d.x[2 * n + i] * 0.25;
    d.x.insert(d.x.end(), d.x.begin() + static_cast<std::ptrdiff_t>(n),
               d.x.begin() + static_cast<std::ptrdiff_t>(2 * n));
    d.p = levels.size() + 1;
    std::vector<std::uint32_t> rows;
    for (std::size_t i = 0; i < n; ++i) rows.push_back(static_cast<std::uint32_t>(gen() % n));
    const std::vector<std::uint32_t> features{4, 1, 3, 0, 5, 2};
    expect_same_bits(d.log_rank().find_best_split(d.covariates(), rows, features, min_leaf),
                     exhaustive_best_split(d, rows, features, min_leaf), seed);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, LogRankFewAndManyCandidates,
                         ::testing::Values(std::pair{std::size_t{60}, std::size_t{1}},
                                           std::pair{std::size_t{110}, std::size_t{15}},
                                           std::pair{std::size_t{200}, std::size_t{1}},
                                           std::pair{std::size_t{700}, std::size_t{5}}));

// Every time distinct, as in registry data: large nodes bound their candidates
// from running sums rather than passes over the event groups, and must still
// pick the exhaustive search's split to the last bit.
TEST(LogRank, ContinuousTimesGiveTheExhaustiveSearchSplit) {
  for (std::uint32_t seed = 0; seed < 4; ++seed) {
    Dataset d = Dataset::random(3000 + 500 * seed, 3, seed);
    std::mt19937 gen(seed);
    for (double& t : d.time) t = std::ldexp(static_cast<double>(gen()), -24);
    for (double& v : d.x)
      v = std::ldexp(static_cast<double>(gen() % (seed % 2 == 0 ? 5000 : 40)), -4);
    // A signal in feature 1, so that the best split is not a near-tie of noise.
    for (std::size_t i = 0; i < d.n; ++i) d.time[i] += d.x[d.n + i] * 8.0;
    std::vector<std::uint32_t> rows = all_rows(d.n);
    if (seed >= 2) {  // a bootstrap sample: duplicates in every time group
      for (auto& row : rows) row = static_cast<std::uint32_t>(gen() % d.n);
    }
    const std::vector<std::uint32_t> features{2, 0, 1};
    const std::size_t min_leaf = 1 + 7 * seed;
    expect_same_bits(d.log_rank().find_best_split(d.covariates(), rows, features, min_leaf),
                     exhaustive_best_split(d, rows, features, min_leaf), seed);
  }
}

// A node near the root of a large continuous-time fit: its running sums have
// so many buckets that a scan asks the caches for them ahead of its moves,
// which must leave the split to the last bit as the exhaustive search has it,
// up to the last moves of a feature, whose later moves do not exist.
TEST(LogRank, NodesWhoseRunningSumsOutgrowTheCachesGiveTheExhaustiveSearchSplit) {
  for (std::uint32_t seed = 0; seed < 2; ++seed) {
    Dataset d = Dataset::random(40000, 3, seed);
    std::mt19937 gen(seed);
    for (double& t : d.time) t = std::ldexp(static_cast<double>(gen()), -24);
    // Few distinct values keep the exhaustive search short.
    for (double& v : d.x) v = static_cast<double>(gen() % 150);
    for (std::size_t i = 0; i < d.n; ++i) d.time[i] += d.x[d.n + i] * 4.0;
    std::vector<std::uint32_t> rows = all_rows(d.n);
    if (seed == 1) {  // a bootstrap sample
      for (auto& row : rows) row = static_cast<std::uint32_t>(gen() % d.n);
    }
    const auto node = detail::SortedNode::of(d.log_rank(), rows);
    ASSERT_GE(std::count_if(node.group_events.begin(), node.group_events.end(),
                            [](std::uint32_t events) { return events > 0; }),
              16384)
        << seed;
    const std::vector<std::uint32_t> features{2, 0, 1};
    expect_same_bits(d.log_rank().find_best_split(d.covariates(), rows, features, 15),
                     exhaustive_best_split(d, rows, features, 15), seed);
  }
}

// A tree's searches share one Scratch: whatever earlier nodes left in it
// (larger or smaller, with more or fewer candidate features, missing values or
// none, bounded by running sums or by passes), a search gives to the last bit
// the split of a search in fresh buffers.
class LogRankScratch : public ::testing::TestWithParam<bool> {};  // weighted

TEST_P(LogRankScratch, BuffersEarlierNodesUsedGiveTheFreshSearchSplit) {
  Dataset d = Dataset::random(1200, 4, 5);
  std::mt19937 gen(5);
  for (double& t : d.time) t = std::ldexp(static_cast<double>(gen()), -24);
  for (std::size_t i = 0; i < d.n; i += 9)
    d.x[2 * d.n + i] = std::numeric_limits<double>::quiet_NaN();
  std::vector<double> weight(d.n);
  for (double& w : weight) w = static_cast<double>(1 + gen() % 4);
  const Covariates covariates(d.column_major(), CallControl{}, MissingValues::kIncorporated);
  const LogRankCriterion criterion(
      d.time, d.event, GetParam() ? std::span<const double>(weight) : std::span<const double>());
  const std::vector<std::vector<std::uint32_t>> features{{0, 1, 2, 3}, {2},    {3, 2, 1},
                                                         {1},          {2, 0}, {0, 1, 2, 3}};
  const std::vector<std::size_t> sizes{1200, 40, 600, 7, 1200, 150};
  LogRankCriterion::Scratch scratch;
  std::size_t found = 0;
  for (std::uint32_t k = 0; k < sizes.size(); ++k) {
    std::vector<std::uint32_t> rows(sizes[k]);
    for (auto& row : rows) row = static_cast<std::uint32_t>(gen() % d.n);
    const std::size_t min_leaf = 1 + k % 3;
    const auto fresh = criterion.find_best_split(covariates, rows, features[k], min_leaf);
    expect_same_bits(
        criterion.find_best_split(covariates, rows, features[k], min_leaf, CallControl{}, scratch),
        fresh, k);
    found += fresh.has_value() ? 1 : 0;
  }
  EXPECT_GE(found, 4u);
}

INSTANTIATE_TEST_SUITE_P(Weighting, LogRankScratch, ::testing::Bool());

// Only the units this build has code for can be asked for, and only on a
// processor that has them; a value naming no unit is refused, not looked up.
TEST(LogRank, RefusesAVectorUnitTheProcessorLacks) {
  const Dataset d = Dataset::four_events();
  for (const VectorUnit unit : kAllVectorUnits) {
    if (supports(unit)) {
      EXPECT_NO_THROW(LogRankCriterion(d.time, d.event, unit));
    } else {
      EXPECT_THROW(LogRankCriterion(d.time, d.event, unit), InternalError);
    }
  }
  for (const auto unit : {static_cast<VectorUnit>(kVectorUnits), static_cast<VectorUnit>(255)}) {
    EXPECT_FALSE(supports(unit));
    EXPECT_THROW(LogRankCriterion(d.time, d.event, unit), InternalError);
    EXPECT_THROW(LogRankCriterion(d.time, d.event, std::vector<double>(d.n, 1.0), unit),
                 InternalError);
  }
}

}  // namespace
}  // namespace korvane
