#include <gtest/gtest.h>

#include <random>
#include <tuple>

#include "candidate_scan.hpp"

namespace korvane::detail {
namespace {

struct Visited {
  std::size_t n_left;
  std::uint32_t left;
  std::uint32_t right;
  bool last;
  friend bool operator==(const Visited&, const Visited&) = default;
};

// A value order of n positions over `distinct` values, positions shuffled.
std::vector<RankedPosition> value_order(std::size_t n, std::uint32_t distinct, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<RankedPosition> order(n);
  for (std::uint32_t pos = 0; pos < n; ++pos) {
    order[pos] = (static_cast<std::uint64_t>(gen() % distinct) << 32) | pos;
  }
  OrderScratch scratch;
  sort_ranked(order, scratch);
  return order;
}

// Every boundary between two value groups with at least `min_leaf` positions on
// each side, by brute force.
std::vector<Visited> admissible(const std::vector<RankedPosition>& order, std::size_t min_leaf) {
  std::vector<Visited> boundaries;
  for (std::size_t k = 1; k < order.size(); ++k) {
    if (rank_of(order[k]) == rank_of(order[k - 1])) continue;
    if (k < min_leaf || order.size() - k < min_leaf) continue;
    boundaries.push_back({k, position_of(order[k - 1]), position_of(order[k]), false});
  }
  if (!boundaries.empty()) boundaries.back().last = true;
  return boundaries;
}

// The scan of `order` through each view of it: as (rank, position) entries,
// and as ranks alone, whose reported indices are mapped back to the positions
// they stand for.
std::vector<Visited> scan_both_views(const std::vector<RankedPosition>& order, std::size_t min_leaf,
                                     std::size_t limit, bool by_index,
                                     std::vector<std::uint32_t>& moved, std::size_t& count) {
  std::vector<std::uint32_t> ranks;
  for (const RankedPosition entry : order) ranks.push_back(rank_of(entry));
  const auto position = [&](std::uint32_t p) { return by_index ? position_of(order[p]) : p; };
  std::vector<Visited> visited;
  const auto move = [&](std::uint32_t p) { moved.push_back(position(p)); };
  const auto visit = [&](std::size_t candidate, std::size_t n_left, std::uint32_t left,
                         std::uint32_t right, bool last) {
    EXPECT_EQ(candidate, visited.size());
    EXPECT_EQ(moved.size(), n_left);
    visited.push_back({n_left, position(left), position(right), last});
  };
  count = by_index ? scan_candidates(IndexOrder{ranks}, min_leaf, limit, move, visit)
                   : scan_candidates(PositionOrder{order}, min_leaf, limit, move, visit);
  return visited;
}

// Every criterion walks its candidates with this scan: it must visit exactly
// the admissible boundaries in ascending order, flag the last one, move every
// position left before the candidates after it, and stop at the limit, over
// either view of a value order.
class ScanCandidates
    : public ::testing::TestWithParam<std::tuple<std::size_t, std::uint32_t, std::size_t>> {};

TEST_P(ScanCandidates, VisitsExactlyTheAdmissibleBoundaries) {
  const auto [n, distinct, min_leaf] = GetParam();
  const auto order = value_order(n, distinct, static_cast<std::uint32_t>(n + distinct + min_leaf));
  const std::vector<Visited> expected = admissible(order, min_leaf);
  for (const bool by_index : {false, true}) {
    for (const std::size_t limit : {SIZE_MAX, std::size_t{2}}) {
      std::vector<std::uint32_t> moved;
      std::size_t count = 0;
      const std::vector<Visited> visited =
          scan_both_views(order, min_leaf, limit, by_index, moved, count);
      const std::size_t wanted = std::min(limit, expected.size());
      EXPECT_EQ(count, wanted);
      EXPECT_EQ(visited, std::vector<Visited>(expected.begin(), expected.begin() + wanted));
      for (std::size_t k = 0; k < moved.size(); ++k) EXPECT_EQ(moved[k], position_of(order[k]));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Orders, ScanCandidates,
                         ::testing::Values(std::tuple{std::size_t{0}, 1u, std::size_t{1}},
                                           std::tuple{std::size_t{1}, 1u, std::size_t{1}},
                                           std::tuple{std::size_t{12}, 1u, std::size_t{1}},
                                           std::tuple{std::size_t{40}, 5u, std::size_t{1}},
                                           std::tuple{std::size_t{40}, 5u, std::size_t{9}},
                                           std::tuple{std::size_t{200}, 300u, std::size_t{7}},
                                           std::tuple{std::size_t{30}, 4u, std::size_t{0}},
                                           std::tuple{std::size_t{10}, 10u, std::size_t{6}}));

// A floor on weight keeps out exactly the boundaries where a side weighs less
// than it, flags the last admissible one, and still moves every position
// (the missing rows first, when they are carried left).
class WeightFloorScan
    : public ::testing::TestWithParam<std::tuple<double, std::size_t, std::size_t>> {};

TEST_P(WeightFloorScan, VisitsExactlyTheBoundariesBothSidesOfWhichWeighEnough) {
  const auto [least, min_leaf, n_missing_left] = GetParam();
  const auto order = value_order(60, 12, 7);
  std::vector<double> weight(order.size());
  std::mt19937 gen(11);
  // Multiples of 1/8: every sum of them is exact, as RowWeights' are.
  for (double& w : weight) w = static_cast<double>(1 + gen() % 24) / 8.0;
  double total = 0.0;
  for (const double w : weight) total += w;
  const std::size_t n = order.size() - n_missing_left;
  std::vector<Visited> expected;
  double left = 0.0;
  for (std::size_t k = n; k < order.size(); ++k) left += weight[position_of(order[k])];
  for (std::size_t k = 1; k <= n; ++k) {
    left += weight[position_of(order[k - 1])];
    if (k == n || rank_of(order[k]) == rank_of(order[k - 1])) continue;
    const std::size_t n_left = n_missing_left + k;
    if (n_left < min_leaf || order.size() - n_left < min_leaf) continue;
    if (left < least || total - left < least) continue;
    expected.push_back({n_left, position_of(order[k - 1]), position_of(order[k]), false});
  }
  if (!expected.empty()) expected.back().last = true;
  std::vector<Visited> visited;
  std::vector<std::uint32_t> moved;
  const auto weight_at = [&](std::uint32_t position) { return weight[position]; };
  const std::size_t count = scan_weighed_candidates(
      PositionOrder{order}, min_leaf, SIZE_MAX,
      [&](std::uint32_t position) { moved.push_back(position); },
      [&](std::size_t, std::size_t n_left, std::uint32_t l, std::uint32_t r, bool last) {
        visited.push_back({n_left, l, r, last});
      },
      n_missing_left, weight_at, total, least);
  EXPECT_EQ(count, expected.size());
  EXPECT_EQ(visited, expected);
}

INSTANTIATE_TEST_SUITE_P(Floors, WeightFloorScan,
                         ::testing::Values(std::tuple{0.0, std::size_t{1}, std::size_t{0}},
                                           std::tuple{10.0, std::size_t{1}, std::size_t{0}},
                                           std::tuple{10.0, std::size_t{25}, std::size_t{0}},
                                           std::tuple{27.5, std::size_t{1}, std::size_t{0}},
                                           std::tuple{12.0, std::size_t{3}, std::size_t{6}},
                                           std::tuple{1000.0, std::size_t{1}, std::size_t{0}}));

}  // namespace
}  // namespace korvane::detail
