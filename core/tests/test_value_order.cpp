#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "value_order.hpp"

namespace korvane::detail {
namespace {

TEST(OrderKey, OrdersLikeLessThanAndMergesZeros) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<double> ascending{-inf, -1e300, -1.0, -5e-324, 0.0, 5e-324, 1.0, 1e300, inf};
  for (std::size_t i = 1; i < ascending.size(); ++i) {
    EXPECT_LT(order_key(ascending[i - 1]), order_key(ascending[i]));
    EXPECT_EQ(key_value(order_key(ascending[i])), ascending[i]);
  }
  EXPECT_EQ(order_key(-0.0), order_key(0.0));
  EXPECT_EQ(order_key(std::nan("")), UINT64_MAX);
}

// The radix sort must give exactly the stable order by key, ties in input order,
// for value keys and for small rank keys alike.
class SortByKey : public ::testing::TestWithParam<bool> {};

TEST_P(SortByKey, EqualsAStableSort) {
  const bool rank_keys = GetParam();
  std::mt19937_64 gen(5);
  std::vector<KeyedIndex> scratch;
  for (const std::size_t n : {0, 1, 63, 64, 65, 1000, 5000}) {
    std::vector<KeyedIndex> items(n);
    for (std::uint32_t i = 0; i < n; ++i) {
      const double value = static_cast<double>(static_cast<int>(gen() % 50) - 25) * 0.75;
      items[i] = {rank_keys ? gen() % 300 : order_key(i % 7 == 0 ? -value : value), i};
    }
    std::vector<KeyedIndex> expected = items;
    std::stable_sort(expected.begin(), expected.end(),
                     [](const KeyedIndex& a, const KeyedIndex& b) { return a.key < b.key; });
    sort_by_key(items, scratch);
    ASSERT_EQ(items.size(), n);
    for (std::size_t i = 0; i < n; ++i) {
      EXPECT_EQ(items[i].key, expected[i].key);
      EXPECT_EQ(items[i].index, expected[i].index);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Keys, SortByKey, ::testing::Values(false, true));

// Packed rank orders are sorted by a pass per rank, by counting, by insertion
// or by radix passes, depending on the count and the span of the ranks; each
// must be the stable order by rank. The radix passes take digits sized to the
// span above the lowest rank, so spans of different widths and counts take
// different digits.
class SortRanked : public ::testing::TestWithParam<std::pair<std::size_t, std::uint32_t>> {};

TEST_P(SortRanked, EqualsAStableSortByRank) {
  const auto [n, span] = GetParam();
  std::mt19937_64 gen(n + span);
  std::vector<RankedPosition> items(n);
  for (std::uint32_t pos = 0; pos < n; ++pos) {
    items[pos] = (static_cast<std::uint64_t>(1000 + gen() % span) << 32) | pos;
  }
  std::vector<RankedPosition> expected = items;
  std::stable_sort(expected.begin(), expected.end(),
                   [](RankedPosition a, RankedPosition b) { return rank_of(a) < rank_of(b); });
  OrderScratch scratch;
  sort_ranked(items, scratch);
  EXPECT_EQ(items, expected);
}

INSTANTIATE_TEST_SUITE_P(Regimes, SortRanked,
                         ::testing::Values(std::pair{std::size_t{66}, 2u},          // per rank
                                           std::pair{std::size_t{3000}, 4u},        // per rank
                                           std::pair{std::size_t{7}, 1u},           // per rank
                                           std::pair{std::size_t{40}, 5u},          // counting
                                           std::pair{std::size_t{40}, 1000u},       // insertion
                                           std::pair{std::size_t{40}, 30u},         // counting
                                           std::pair{std::size_t{5000}, 3000u},     // counting
                                           std::pair{std::size_t{5000}, 200000u},   // radix
                                           std::pair{std::size_t{100}, 100000u},    // 3 x 6 bits
                                           std::pair{std::size_t{70}, 1u << 20},    // 4 x 5 bits
                                           std::pair{std::size_t{3000}, 1u << 20},  // 2 x 10 bits
                                           std::pair{std::size_t{5000}, 0xFFFF0000u},   // 4 x 8
                                           std::pair{std::size_t{50000}, 0xFFFF0000u},  // 3 x 11
                                           std::pair{std::size_t{1}, 5u}));

// The ranks are kept row by row and a node gathers several features at once;
// whatever the order of the features (repeats too) and of the rows (a bootstrap
// repeats them), each feature's gathered ranks and sorted order must be those
// read one by one.
class GatherRanks : public ::testing::TestWithParam<std::vector<std::uint32_t>> {};

TEST_P(GatherRanks, MatchEachFeatureReadAlone) {
  const std::vector<std::uint32_t>& features = GetParam();
  constexpr std::size_t n = 500;
  constexpr std::size_t p = 7;
  std::mt19937_64 gen(3);
  std::vector<double> values(n * p);
  for (double& v : values) v = static_cast<double>(gen() % 40);
  const Covariates covariates({values.data(), n, p, 1, static_cast<std::ptrdiff_t>(n)});
  std::vector<std::uint32_t> rows(300);
  for (std::uint32_t& row : rows) row = static_cast<std::uint32_t>(gen() % n);
  std::vector<std::vector<std::uint32_t>> gathered(features.size(),
                                                   std::vector<std::uint32_t>(rows.size()));
  gather_ranks(
      covariates, rows, features,
      [&](std::size_t slot, std::size_t i, std::uint32_t rank) { gathered[slot][i] = rank; });
  OrderScratch scratch;
  std::vector<RankedPosition> sorted;
  for (std::size_t slot = 0; slot < features.size(); ++slot) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
      ASSERT_EQ(gathered[slot][i], covariates.rank(rows[i], features[slot]));
      ASSERT_EQ(values[features[slot] * n + rows[i]],
                static_cast<double>(gathered[slot][i]));  // dense ranks of 0 .. 39
    }
    order_by_covariate(covariates, rows, features[slot], sorted, scratch);
    std::vector<RankedPosition> expected(rows.size());
    for (std::uint32_t i = 0; i < rows.size(); ++i)
      expected[i] = ranked_position(gathered[slot][i], i);
    std::stable_sort(expected.begin(), expected.end(),
                     [](RankedPosition a, RankedPosition b) { return rank_of(a) < rank_of(b); });
    EXPECT_EQ(sorted, expected);
  }
}

INSTANTIATE_TEST_SUITE_P(Features, GatherRanks,
                         ::testing::Values(std::vector<std::uint32_t>{},
                                           std::vector<std::uint32_t>{6},
                                           std::vector<std::uint32_t>{5, 0, 3},
                                           std::vector<std::uint32_t>{2, 2, 6, 1, 0, 4, 3, 5}));

}  // namespace
}  // namespace korvane::detail
