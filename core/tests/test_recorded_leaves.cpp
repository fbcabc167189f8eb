#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "korvane/criteria/gradient.hpp"
#include "korvane/forest.hpp"
#include "korvane/forest_weights.hpp"
#include "korvane/persistence.hpp"
#include "korvane/recorded_leaves.hpp"
#include "korvane/sample_weights.hpp"
#include "korvane/weighted_sums.hpp"
#include "support.hpp"

namespace korvane {
namespace {

using testing::widened;

struct Width {
  std::size_t n_leaves;
  unsigned bits;
};

// The last leaf of each width's range is one below the code of a row not
// recorded; one leaf more takes the next width.
const Width kWidths[] = {{1, 8}, {255, 8}, {256, 16}, {65535, 16}, {65536, 32}};

class RecordedLeavesWidth : public ::testing::TestWithParam<Width> {};

TEST_P(RecordedLeavesWidth, KeepsEveryLeafApartFromRowsNotRecorded) {
  const auto [n_leaves, bits] = GetParam();
  std::vector<std::uint32_t> record;
  for (std::uint32_t leaf = 0; leaf < n_leaves; ++leaf) {
    record.push_back(NO_LEAF);
    record.push_back(leaf);
  }
  const RecordedLeaves recorded(record, n_leaves);
  EXPECT_EQ(recorded.width(), bits);
  EXPECT_EQ(widened(recorded), record);
}

INSTANTIATE_TEST_SUITE_P(LeafCounts, RecordedLeavesWidth, ::testing::ValuesIn(kWidths));

// One feature of distinct values and a distinct outcome per row: trees split
// down to a row per leaf, so a tree on all n rows has exactly n leaves.
struct DistinctRows {
  std::vector<double> x;
  std::vector<double> outcome;
  std::vector<double> weight;

  DistinctRows(std::size_t n, bool weighted) : x(n), outcome(n) {
    std::mt19937 gen(static_cast<std::uint32_t>(n));
    std::uniform_real_distribution<double> draw(0.0, 1.0);
    for (std::size_t i = 0; i < n; ++i) {
      x[i] = static_cast<double>((i * 7919) % n);
      outcome[i] = draw(gen);
    }
    if (weighted) {
      std::vector<double> given(n);
      for (double& w : given) w = 0.1 + draw(gen);
      const RowWeights rounded(given);
      weight.assign(rounded.values().begin(), rounded.values().end());
    }
  }

  [[nodiscard]] MatrixView view() const { return {x.data(), x.size(), 1, 1, 1}; }

  [[nodiscard]] Forest<NoPayload> forest(const ForestParams& params) const {
    return grow_forest(Covariates(view()), GradientCriterion(outcome, weight), NoLeaves{}, params,
                       3, CallControl{}, weight);
  }
};

// Trees grown to a row per leaf; without a bootstrap, on all rows or, when
// honest, on half of them, recording the leaves of the other half.
ForestParams full_trees(std::size_t n_trees, bool bootstrap, bool honest = false) {
  ForestParams params;
  params.n_trees = n_trees;
  params.bootstrap = bootstrap;
  params.tree.min_samples_leaf = 1;
  if (honest) params.tree.honesty = 0.5;
  return params;
}

// Whether two arrays of doubles hold the same bits, NaN included.
template <class A, class B>
bool same_bits(const A& a, const B& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

class TreeOfExactly : public ::testing::TestWithParam<Width> {};

// Were the last leaf's code taken for rows not recorded, its row would count
// in no leaf and its forest weight would be lost.
TEST_P(TreeOfExactly, NLeavesTakesTheWidthThatHoldsThemAll) {
  const auto [n, bits] = GetParam();
  const DistinctRows rows(n, false);
  const Forest<NoPayload> forest = rows.forest(full_trees(1, false));
  ASSERT_EQ(forest.trees[0].n_leaves(), n);
  EXPECT_EQ(forest.recorded_leaves(0).width(), bits);
  const auto& sizes = forest.leaf_sizes[0];
  EXPECT_TRUE(std::all_of(sizes.begin(), sizes.end(), [](std::uint32_t s) { return s == 1; }));
  // Queried at training rows, each row's only weight is its own.
  const std::size_t queries = 6;
  const auto weights = forest_weights(forest, MatrixView{rows.x.data() + n - queries, queries, 1, 1,
                                                         static_cast<std::ptrdiff_t>(n)});
  for (std::size_t q = 0; q < queries; ++q) {
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_EQ(weights[q * n + i], i == n - queries + q ? 1.0 : 0.0) << q << " " << i;
    }
  }
  const auto sums = weighted_sums(forest, rows.view(), {rows.outcome.data(), n, 1, 1, 1});
  EXPECT_EQ(sums, rows.outcome);
  EXPECT_EQ(std::get<Forest<NoPayload>>(from_bytes(to_bytes(forest))), forest);
}

INSTANTIATE_TEST_SUITE_P(LeafCounts, TreeOfExactly, ::testing::ValuesIn(kWidths + 1, kWidths + 5));

// The forest with every tree's record kept at 32 bits, as it was recorded.
Forest<NoPayload> at_32_bits(Forest<NoPayload> forest) {
  for (RecordedLeaves& recorded : forest.recorded_leaf) {
    recorded = RecordedLeaves(widened(recorded), std::numeric_limits<std::uint32_t>::max());
  }
  return forest;
}

struct Narrowed {
  std::size_t n;
  unsigned bits;
  bool bootstrap;  // else honest trees on every row
  bool weighted;
};

class NarrowedForest : public ::testing::TestWithParam<Narrowed> {};

// Every reader of the recorded leaves gives the bits it gives at 32 bits, on
// forests with rows left out of trees and with weighted shares.
TEST_P(NarrowedForest, ReadsAsItsRecordAt32Bits) {
  const auto [n, bits, bootstrap, weighted] = GetParam();
  const DistinctRows rows(n, weighted);
  const Forest<NoPayload> forest = rows.forest(full_trees(4, bootstrap, !bootstrap));
  const Forest<NoPayload> wide = at_32_bits(forest);
  for (std::size_t b = 0; b < forest.n_trees(); ++b) {
    ASSERT_EQ(forest.recorded_leaves(b).width(), bits);
    ASSERT_EQ(widened(forest.recorded_leaves(b)), widened(wide.recorded_leaves(b)));
  }
  const MatrixView x = rows.view();
  const MatrixView values{rows.outcome.data(), n, 1, 1, 1};
  // Two query rows take the scan, more the index of leaf rows.
  for (const std::size_t queries : {std::size_t{2}, n}) {
    const MatrixView some{rows.x.data(), queries, 1, 1, 1};
    EXPECT_TRUE(same_bits(forest_weights(forest, some), forest_weights(wide, some))) << queries;
  }
  EXPECT_TRUE(same_bits(oob_forest_weights(forest, x), oob_forest_weights(wide, x)));
  EXPECT_TRUE(same_bits(weighted_sums(forest, x, values), weighted_sums(wide, x, values)));
  EXPECT_TRUE(same_bits(oob_weighted_sums(forest, x, values), oob_weighted_sums(wide, x, values)));
  EXPECT_TRUE(
      same_bits(tree_weighted_sums(forest, x, values), tree_weighted_sums(wide, x, values)));
  const std::vector<std::uint8_t> bytes = to_bytes(forest);
  EXPECT_EQ(bytes, to_bytes(wide));
  EXPECT_EQ(std::get<Forest<NoPayload>>(from_bytes(bytes)), forest);
}

INSTANTIATE_TEST_SUITE_P(Widths, NarrowedForest,
                         ::testing::Values(Narrowed{120, 8, true, false},
                                           Narrowed{120, 8, false, true},
                                           Narrowed{700, 16, true, true},
                                           Narrowed{700, 16, true, false}));

}  // namespace
}  // namespace korvane
