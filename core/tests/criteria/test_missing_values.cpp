#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "candidate_scan.hpp"
#include "criteria/log_rank_reference.hpp"
#include "criteria/sorted_node.hpp"
#include "korvane/builder.hpp"
#include "korvane/criteria/gradient.hpp"
#include "korvane/criteria/log_rank.hpp"
#include "support.hpp"

namespace korvane {
namespace {

using testing::all_rows;
using testing::Dataset;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
const std::vector<std::uint32_t> kFirstFeature{0};

Covariates incorporating(const Dataset& d) {
  return Covariates(d.column_major(), CallControl{}, MissingValues::kIncorporated);
}

// Random data with ties, whose first columns miss about a fifth of their values.
Dataset with_missing(std::size_t n, std::size_t p, std::uint32_t seed) {
  Dataset d = Dataset::random(n, p, seed);
  std::mt19937 gen(seed + 1000);
  if (seed % 2 == 0) {
    for (double& v : d.x) v = std::ldexp(static_cast<double>(gen() % 100000), -10);
  }
  for (std::size_t f = 0; f + 1 < p; ++f) {
    for (std::size_t i = 0; i < n; ++i) {
      if (gen() % 5 == 0) d.x[f * n + i] = kNaN;
    }
  }
  return d;
}

// The scan with missing rows carried left counts them on the left of every
// candidate and never offers the split that would leave nothing on the right.
TEST(CandidateScan, CarriesMissingRowsLeft) {
  // Ranks 0, 0, 1, 2 present and two missing (rank 3) at positions 4 and 5.
  const std::vector<detail::RankedPosition> order{
      0, 1, (1ull << 32) | 2, (2ull << 32) | 3, (3ull << 32) | 4, (3ull << 32) | 5};
  EXPECT_EQ(detail::n_missing_at_end(detail::PositionOrder{order}, 3), 2u);
  EXPECT_EQ(detail::n_missing_at_end(detail::PositionOrder{order}, Covariates::kNoMissingRank), 0u);
  std::vector<std::uint32_t> moved;
  std::vector<std::size_t> n_left;
  detail::scan_candidates(
      detail::PositionOrder{order}, 1, SIZE_MAX,
      [&](std::uint32_t position) { moved.push_back(position); },
      [&](std::size_t, std::size_t left, std::uint32_t, std::uint32_t, bool) {
        n_left.push_back(left);
      },
      2);
  EXPECT_EQ(moved, (std::vector<std::uint32_t>{4, 5, 0, 1, 2, 3}));
  EXPECT_EQ(n_left, (std::vector<std::size_t>{4, 5}));
}

struct SideCase {
  MissingSide chosen;
  MissingValues mode;
  std::size_t n_left;
  std::size_t n_right;
  bool left;
};

class MissingSideRule : public ::testing::TestWithParam<SideCase> {};

TEST_P(MissingSideRule, RecordsTheChosenSideOrTheLargerChild) {
  const SideCase& c = GetParam();
  EXPECT_EQ(missing_goes_left(c.chosen, c.mode, c.n_left, c.n_right), c.left);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MissingSideRule,
    ::testing::Values(
        // Fits that refuse missing values keep NaN right whatever the sizes.
        SideCase{MissingSide::kUnseen, MissingValues::kRefused, 9, 1, false},
        // Unseen: the larger child, the left one on a tie.
        SideCase{MissingSide::kUnseen, MissingValues::kIncorporated, 9, 1, true},
        SideCase{MissingSide::kUnseen, MissingValues::kIncorporated, 1, 9, false},
        SideCase{MissingSide::kUnseen, MissingValues::kIncorporated, 5, 5, true},
        // Seen: the criterion's choice, even against the sizes.
        SideCase{MissingSide::kLeft, MissingValues::kIncorporated, 1, 9, true},
        SideCase{MissingSide::kRight, MissingValues::kIncorporated, 9, 1, false}));

TEST(MissingValues, DescentSendsNaNTheRecordedWay) {
  const std::vector<double> column{kNaN, 1.0, 3.0};
  const MatrixView x{column.data(), 3, 1, 1, 3};
  for (const bool missing_left : {false, true}) {
    const Tree<NoPayload> tree{{node::Leaf{0}, node::Leaf{1},
                                node::Split{.threshold = 2.0,
                                            .score = 1.0,
                                            .feature = 0,
                                            .left = 0,
                                            .right = 1,
                                            .missing_left = missing_left}},
                               {NoPayload{}, NoPayload{}},
                               2,
                               1};
    EXPECT_EQ(apply(tree, x), (std::vector<std::uint32_t>{missing_left ? 0u : 1u, 0u, 1u}));
  }
}

// The exhaustive search with missing rows: per feature in examination order,
// the present values' boundaries with the missing rows right (the last one
// being "is missing"), then with them left; a later candidate wins only with a
// strictly higher reference score.
std::optional<BestSplit> exhaustive_split(const Dataset& d, const std::vector<std::uint32_t>& rows,
                                          const std::vector<std::uint32_t>& features,
                                          std::size_t min_leaf) {
  const auto node = detail::SortedNode::of(d.log_rank(), rows);
  std::optional<BestSplit> best;
  for (const std::uint32_t f : features) {
    const auto value = [&](std::size_t pos) { return d.x[f * d.n + node.sorted_rows[pos]]; };
    std::vector<double> present;
    std::size_t n_missing = 0;
    for (std::size_t pos = 0; pos < rows.size(); ++pos) {
      if (std::isnan(value(pos))) {
        ++n_missing;
      } else {
        present.push_back(value(pos));
      }
    }
    std::sort(present.begin(), present.end());
    present.erase(std::unique(present.begin(), present.end()), present.end());
    if (n_missing > 0) present.push_back(kNaN);  // the boundary "is missing"
    const auto consider = [&](std::size_t b, bool missing_left, MissingSide side) {
      std::vector<std::uint8_t> marks(rows.size());
      std::size_t left = 0;
      for (std::size_t pos = 0; pos < rows.size(); ++pos) {
        marks[pos] = std::isnan(value(pos)) ? missing_left : value(pos) <= present[b];
        left += marks[pos];
      }
      if (left < min_leaf || rows.size() - left < min_leaf) return;
      const double score = testing::log_rank_score(node, marks);
      if (!best || score > best->score) {
        const double threshold =
            std::isnan(present[b + 1]) ? kInf : (present[b] + present[b + 1]) * 0.5;
        best = BestSplit{f, threshold, score, side};
      }
    };
    const MissingSide right = n_missing > 0 ? MissingSide::kRight : MissingSide::kUnseen;
    for (std::size_t b = 0; b + 1 < present.size(); ++b) consider(b, false, right);
    if (n_missing == 0) continue;
    for (std::size_t b = 0; b + 2 < present.size(); ++b) consider(b, true, MissingSide::kLeft);
  }
  return best;
}

// The bounded, vectorised search on every vector unit picks what the exhaustive
// one picks, to the last bit.
void expect_exhaustive_split(const Dataset& d, const std::vector<std::uint32_t>& rows,
                             const std::vector<std::uint32_t>& features, std::size_t min_leaf,
                             std::uint32_t seed) {
  const Covariates covariates = incorporating(d);
  const auto expected = exhaustive_split(d, rows, features, min_leaf);
  for (const VectorUnit unit : kAllVectorUnits) {
    if (!supports(unit)) continue;
    const auto split = LogRankCriterion(d.time, d.event, unit)
                           .find_best_split(covariates, rows, features, min_leaf);
    ASSERT_EQ(split.has_value(), expected.has_value()) << seed;
    if (!split) continue;
    EXPECT_EQ(split->feature, expected->feature) << seed;
    EXPECT_EQ(split->threshold, expected->threshold) << seed;
    EXPECT_EQ(split->missing, expected->missing) << seed;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(split->score),
              std::bit_cast<std::uint64_t>(expected->score))
        << seed;
  }
}

// Small nodes, where the passes over the event groups bound the candidates;
// feature 3 has no missing value and ties with nothing.
TEST(MissingValues, LogRankSearchEqualsExhaustiveReferenceSearch) {
  for (std::uint32_t seed = 0; seed < 60; ++seed) {
    const Dataset d = with_missing(30 + 11 * seed, 4, seed);
    std::mt19937 gen(seed);
    std::vector<std::uint32_t> rows;
    for (std::size_t i = 0; i < d.n; ++i) rows.push_back(static_cast<std::uint32_t>(gen() % d.n));
    expect_exhaustive_split(d, rows, {2, 3, 0, 1}, 1 + seed % 5, seed);
  }
}

// Every time distinct: the node bounds its candidates from running sums, and
// the walk that carries missing rows left moves them first, from the end of
// the value order. Missing values of feature 0 shorten the times, so that walk
// can win.
TEST(MissingValues, ContinuousTimesGiveTheExhaustiveSplit) {
  for (std::uint32_t seed = 0; seed < 2; ++seed) {
    Dataset d = with_missing(2000, 3, seed);
    std::mt19937 gen(seed);
    for (std::size_t i = 0; i < d.n; ++i) {
      d.time[i] = std::ldexp(static_cast<double>(gen()), -24) * (std::isnan(d.x[i]) ? 0.5 : 1.0);
    }
    std::vector<std::uint32_t> rows;
    for (std::size_t i = 0; i < d.n; ++i) rows.push_back(static_cast<std::uint32_t>(gen() % d.n));
    const auto node = detail::SortedNode::of(LogRankCriterion(d.time, d.event), rows);
    ASSERT_GE(std::count_if(node.group_events.begin(), node.group_events.end(),
                            [](std::uint32_t events) { return events > 0; }),
              256);
    expect_exhaustive_split(d, rows, {1, 0, 2}, 5, seed);
  }
}

// When missingness alone tells the outcomes apart, "is missing" is the split.
TEST(MissingValues, IsMissingCanBeTheBestSplit) {
  const Dataset d = Dataset::from_rows({{kNaN}, {kNaN}, {kNaN}, {1}, {2}, {3}, {4}},
                                       {1, 2, 3, 10, 11, 12, 13}, {1, 1, 1, 1, 1, 1, 1});
  const Covariates covariates = incorporating(d);
  for (const auto& split :
       {d.log_rank().find_best_split(covariates, all_rows(d.n), kFirstFeature, 1),
        GradientCriterion(d.time).find_best_split(covariates, all_rows(d.n), kFirstFeature, 1)}) {
    ASSERT_TRUE(split);
    EXPECT_EQ(split->threshold, kInf);
    EXPECT_EQ(split->missing, MissingSide::kRight);
  }
}

// Rows missing the value join the side whose outcomes they resemble.
TEST(MissingValues, GradientSendsMissingRowsToTheSideTheyResemble) {
  const std::vector<double> outcome{0, 0, 0, 5, 5, 5, 0, 5};
  const Dataset low_missing =
      Dataset::from_rows({{1}, {2}, {3}, {4}, {5}, {6}, {kNaN}, {kNaN}},
                         std::vector<double>(8, 1.0), std::vector<std::uint8_t>(8, 1));
  const GradientCriterion criterion(outcome);
  const auto split =
      criterion.find_best_split(incorporating(low_missing), all_rows(8), kFirstFeature, 1);
  ASSERT_TRUE(split);
  EXPECT_EQ(split->threshold, 3.5);
  // Rows 6 (outcome 0) and 7 (outcome 5) weigh equally: right wins the tie.
  EXPECT_EQ(split->missing, MissingSide::kRight);
  const std::vector<double> low{0, 0, 0, 5, 5, 5, 0, 0};
  const auto left = GradientCriterion(low).find_best_split(incorporating(low_missing), all_rows(8),
                                                           kFirstFeature, 1);
  ASSERT_TRUE(left);
  EXPECT_EQ(left->missing, MissingSide::kLeft);
}

// Without NaN, incorporating missing values changes no split: only the sides
// recorded for NaN queries differ. The estimation rows of an honest tree may
// miss values their splitting rows held: they follow the recorded side.
TEST(MissingValues, WithoutNaNTreesSplitAsWhenRefused) {
  const Dataset d = Dataset::random(80, 3, 7);
  TreeParams params = testing::params_with(3);
  const auto refused = testing::log_rank_tree(d, params, 5);
  const auto incorporated = fit_tree(incorporating(d), d.log_rank(), d.nelson_aalen(), params, 5);
  ASSERT_EQ(refused.nodes.size(), incorporated.nodes.size());
  bool some_left = false;
  for (std::size_t i = 0; i < refused.nodes.size(); ++i) {
    if (const auto* split = std::get_if<node::Split>(&incorporated.nodes[i])) {
      node::Split as_refused = *split;
      some_left = some_left || split->missing_left;
      as_refused.missing_left = false;
      EXPECT_EQ(NodeKind(as_refused), refused.nodes[i]);
    } else {
      EXPECT_EQ(incorporated.nodes[i], refused.nodes[i]);
    }
  }
  EXPECT_TRUE(some_left);
  EXPECT_EQ(incorporated.leaves, refused.leaves);
}

// Every training row of a forest is recorded in the leaf that descent finds
// for it, NaN or not: growing and predicting route missing values alike.
TEST(MissingValues, RecordedLeavesAreWhereDescentLeads) {
  const Dataset d = with_missing(120, 4, 3);
  for (const std::optional<double> honesty : {std::optional<double>{}, std::optional(0.5)}) {
    const auto params = testing::forest_params(8, true, 1.0, honesty);
    const auto forest = grow_forest(incorporating(d), d.log_rank(), d.nelson_aalen(), params, 11);
    for (std::size_t b = 0; b < forest.n_trees(); ++b) {
      const auto leaves = apply(forest.trees[b], d.column_major());
      const auto recorded = testing::widened(forest.recorded_leaves(b));
      for (std::size_t i = 0; i < d.n; ++i) {
        if (recorded[i] != NO_LEAF) {
          EXPECT_EQ(recorded[i], leaves[i]) << b << " " << i;
        }
      }
    }
  }
}

}  // namespace
}  // namespace korvane
