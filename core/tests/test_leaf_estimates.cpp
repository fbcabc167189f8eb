#include <gtest/gtest.h>

#include <cmath>
#include <utility>

#include "korvane/error.hpp"
#include "korvane/leaf_estimates.hpp"
#include "support.hpp"

namespace korvane {
namespace {

struct HazardCase {
  std::vector<double> time;
  std::vector<std::uint8_t> event;
  std::vector<std::uint32_t> rows;
  std::vector<double> jump_times;
  std::vector<double> values;
};

class NelsonAalen : public ::testing::TestWithParam<HazardCase> {};

TEST_P(NelsonAalen, MatchesHandComputedCurve) {
  const HazardCase& c = GetParam();
  const StepFunction curve =
      testing::with_times(NelsonAalenLeaves{c.time, c.event}.estimate(c.rows));
  EXPECT_EQ(curve.times, c.jump_times);
  EXPECT_EQ(curve.values, c.values);
}

INSTANTIATE_TEST_SUITE_P(Cases, NelsonAalen,
                         ::testing::Values(
                             // A censored row at an event time is still at risk there.
                             HazardCase{{1, 2, 2, 3},
                                        {1, 1, 0, 1},
                                        {0, 1, 2, 3},
                                        {1, 2, 3},
                                        {1.0 / 4, 1.0 / 4 + 1.0 / 3, 1.0 / 4 + 1.0 / 3 + 1.0}},
                             HazardCase{{5, 5, 5}, {1, 1, 1}, {0, 1, 2}, {5}, {1.0}},
                             HazardCase{{1, 2}, {0, 1}, {0, 1}, {2}, {1.0}},
                             // Only the byte 1 is an event.
                             HazardCase{{1, 2}, {2, 1}, {0, 1}, {2}, {1.0}},
                             HazardCase{{-0.0, 0.0}, {1, 1}, {0, 1}, {-0.0}, {1.0}},
                             // A row listed twice counts twice.
                             HazardCase{{1.0}, {1}, {0, 0}, {1.0}, {1.0}},
                             HazardCase{{-1, 0}, {1, 1}, {0, 1}, {-1, 0}, {0.5, 1.5}},
                             HazardCase{{1, 2}, {0, 0}, {0, 1}, {}, {}},
                             HazardCase{{1, 2}, {1, 1}, {}, {}, {}}));

// Short and long row lists are sorted differently, and short ones in a buffer
// of fixed size (64 fills it, 65 does not fit); all must give the estimate a
// plain computation over the distinct times gives, whatever the row order.
class NelsonAalenSize : public ::testing::TestWithParam<std::size_t> {};

TEST_P(NelsonAalenSize, EqualsAPlainComputation) {
  const std::size_t n = GetParam();
  std::vector<double> time(n);
  std::vector<std::uint8_t> event(n);
  std::vector<std::uint32_t> rows(n);
  for (std::uint32_t i = 0; i < n; ++i) {
    time[i] = static_cast<double>((i * 37) % 23);
    event[i] = static_cast<std::uint8_t>(i % 3 != 0);
    rows[i] = static_cast<std::uint32_t>((i * 11) % n);  // a permutation: n is not a multiple of 11
  }
  std::vector<double> times;
  std::vector<double> values;
  double cumulative = 0.0;
  for (int t = 0; t < 23; ++t) {
    std::size_t at_risk = 0;
    std::size_t events = 0;
    for (std::size_t i = 0; i < n; ++i) {
      at_risk += time[i] >= t ? 1 : 0;
      events += time[i] == t && event[i] == 1 ? 1 : 0;
    }
    if (events == 0) continue;
    cumulative += static_cast<double>(events) / static_cast<double>(at_risk);
    times.push_back(t);
    values.push_back(cumulative);
  }
  const NelsonAalenLeaves leaves{time, event};
  EXPECT_EQ(testing::with_times(leaves.estimate(rows)), StepFunction(times, values));
}

INSTANTIATE_TEST_SUITE_P(Sizes, NelsonAalenSize,
                         ::testing::Values(std::size_t{6}, std::size_t{64}, std::size_t{65},
                                           std::size_t{300}));

TEST(NelsonAalen, RowOrderDoesNotMatter) {
  const std::vector<double> time{3, 1, 2, 2, 5, 1};
  const std::vector<std::uint8_t> event{1, 0, 1, 1, 0, 1};
  const NelsonAalenLeaves leaves{time, event};
  const LeafCurve a = leaves.estimate(std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5});
  const LeafCurve b = leaves.estimate(std::vector<std::uint32_t>{5, 3, 1, 0, 4, 2});
  EXPECT_EQ(a.time_index, b.time_index);
  EXPECT_EQ(a.values, b.values);
}

// The log-rank criterion's ranks, borrowed, give the curves the estimate's own
// ranking gives; ranks of other times are refused.
TEST(NelsonAalen, BorrowedRanksGiveTheSameCurves) {
  const testing::Dataset d = testing::Dataset::random(200, 2, 5);
  const LogRankCriterion criterion = d.log_rank();
  const NelsonAalenLeaves own = d.nelson_aalen();
  const NelsonAalenLeaves borrowed(d.time, d.event, {}, criterion.time_ranks());
  const std::vector<std::uint32_t> rows = testing::all_rows(d.n);
  for (const std::size_t count : {std::size_t{1}, std::size_t{17}, std::size_t{80}, d.n}) {
    const std::span<const std::uint32_t> leaf = std::span(rows).subspan(d.n - count);
    const LeafCurve a = own.estimate(leaf);
    const LeafCurve b = borrowed.estimate(leaf);
    EXPECT_EQ(a.time_index, b.time_index) << count;
    EXPECT_EQ(testing::with_times(a), testing::with_times(b)) << count;
  }
  EXPECT_THROW(NelsonAalenLeaves(d.time, d.event, {}, criterion.time_ranks().first(3)),
               InternalError);
}

// Zeros of both signs tie, and a curve jumps at its first row's zero: the
// table keeps both, so the model keeps the bits of each curve's time.
TEST(NelsonAalen, JumpsAtTheFirstRowsZeroOfEitherSign) {
  const std::vector<double> time{0.0, -0.0, 1.0, -0.0};
  const std::vector<std::uint8_t> event{1, 1, 1, 0};
  const NelsonAalenLeaves leaves{time, event};
  for (const auto& [rows, negative] : {std::pair{std::vector<std::uint32_t>{1, 0, 2}, true},
                                       std::pair{std::vector<std::uint32_t>{0, 1, 3}, false},
                                       std::pair{std::vector<std::uint32_t>{3, 2, 0}, true}}) {
    const StepFunction curve = testing::with_times(leaves.estimate(rows));
    ASSERT_FALSE(curve.times.empty());
    EXPECT_EQ(curve.times[0], 0.0);
    EXPECT_EQ(std::signbit(curve.times[0]), negative) << rows[0];
  }
  EXPECT_EQ(leaves.estimate(std::vector<std::uint32_t>{0, 1}).values, std::vector<double>{1.0});
}

TEST(NoLeaves, EstimateNothing) {
  static_assert(std::is_same_v<NoLeaves::Payload, NoPayload>);
  EXPECT_EQ(NoLeaves{}.estimate(std::vector<std::uint32_t>{0, 1}), NoPayload{});
}

}  // namespace
}  // namespace korvane
