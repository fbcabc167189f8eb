#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <string>

#include "criteria/log_rank_reference.hpp"
#include "criteria/risk_set_sums.hpp"
#include "support.hpp"

namespace korvane::detail {
namespace {

using testing::Dataset;

// Nodes on which the sums must bound the reference score of every left side.
struct NodeCase {
  std::string name;
  std::size_t n;
  std::uint32_t distinct_times;  // 0: every time distinct
  std::uint32_t censored_in;     // one in this many censored; 0: none
  bool duplicates;               // rows drawn with replacement, as a bootstrap does
};

void PrintTo(const NodeCase& c, std::ostream* out) { *out << c.name; }

SortedNode node_of(const NodeCase& c, std::vector<double>& time, std::vector<std::uint8_t>& event) {
  std::mt19937 gen(static_cast<std::uint32_t>(c.n));
  time.resize(c.n);
  event.resize(c.n);
  for (std::size_t i = 0; i < c.n; ++i) {
    time[i] = c.distinct_times == 0 ? std::ldexp(static_cast<double>(gen()), -20)
                                    : static_cast<double>(gen() % c.distinct_times);
    event[i] = c.censored_in != 0 && gen() % c.censored_in == 0 ? 0 : 1;
  }
  std::vector<std::uint32_t> rows = testing::all_rows(c.n);
  if (c.duplicates) {
    for (auto& row : rows) row = static_cast<std::uint32_t>(gen() % c.n);
  }
  return SortedNode::of(LogRankCriterion(time, event), rows);
}

// Bounds given a floor either rule the score out, which only a score below
// the floor allows, or are the bounds without a floor; a floor well above the
// upper bound rules it out, one at the exact score or just above it may not.
void expect_ruled_out_only_below_floor(const RiskSetSums& sums, const ScoreBounds& bounds,
                                       double exact) {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  for (const double floor : {exact, std::nextafter(exact, kInfinity), exact * (1.0 + 1e-12),
                             bounds.upper, 2.0 * bounds.upper}) {
    const ScoreBounds given = sums.bounds(floor);
    if (given.upper == -kInfinity) {
      ASSERT_LT(exact, floor);
    } else {
      ASSERT_EQ(given.lower, bounds.lower);
      ASSERT_EQ(given.upper, bounds.upper);
    }
  }
  if (exact > 1e-3 && bounds.upper < kInfinity) {
    EXPECT_EQ(sums.bounds(2.0 * bounds.upper).upper, -kInfinity);
  }
}

class RiskSetSumsBound : public ::testing::TestWithParam<NodeCase> {};

// Moves every position left in a random order (as a feature's scan would), and
// checks after each move that the interval holds the exact score and, where
// the score is well away from zero, is narrow: a loose bound would send every
// candidate on to the exact pass. The sums were first reset to a larger node
// with other times, as a tree's search reuses them from node to node.
TEST_P(RiskSetSumsBound, IntervalHoldsTheExactScoreOfEveryLeftSide) {
  std::vector<double> time;
  std::vector<std::uint8_t> event;
  const SortedNode node = node_of(GetParam(), time, event);
  const std::size_t n = node.sorted_rows.size();
  std::vector<std::uint32_t> order(n);
  std::iota(order.begin(), order.end(), 0u);
  std::shuffle(order.begin(), order.end(), std::mt19937(3));
  std::vector<double> other_time;
  std::vector<std::uint8_t> other_event;
  const NodeCase larger{"larger", GetParam().n * 2 + 7, 0, 4, true};
  RiskSetSums sums;
  sums.reset(node_of(larger, other_time, other_event));
  sums.reset(node);
  std::vector<std::uint32_t> buckets;
  node.position_buckets(buckets);
  for (int repeat = 0; repeat < 2; ++repeat) {  // the second after clear()
    sums.clear();
    std::vector<std::uint8_t> marks(n, 0);
    for (std::size_t moved = 0; moved < n; ++moved) {
      sums.move_left(buckets[order[moved]], node.sorted_events[order[moved]] != 0);
      marks[order[moved]] = 1;
      const double exact = testing::log_rank_score(node, marks);
      const ScoreBounds bounds = sums.bounds();
      ASSERT_LE(bounds.lower, exact) << moved;
      ASSERT_GE(bounds.upper, exact) << moved;
      if (exact > 1e-3 && moved + 2 < n) {
        EXPECT_LT(bounds.upper - bounds.lower, 1e-6 * exact) << moved;
      }
      expect_ruled_out_only_below_floor(sums, bounds, exact);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Nodes, RiskSetSumsBound,
    ::testing::Values(NodeCase{"distinct_times", 1500, 0, 3, false},
                      NodeCase{"distinct_times_with_duplicates", 1500, 0, 3, true},
                      NodeCase{"every_time_an_event", 800, 0, 0, false},
                      NodeCase{"all_censored", 800, 0, 1, false},
                      NodeCase{"few_tied_times", 800, 7, 4, true},
                      NodeCase{"one_time", 200, 1, 2, false}, NodeCase{"one_row", 1, 0, 0, false}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace korvane::detail
