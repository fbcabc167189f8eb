#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <tuple>
#include <vector>

#include "korvane/error.hpp"
#include "korvane/params.hpp"
#include "korvane/sampling.hpp"
#include "support.hpp"

namespace korvane {
namespace {

std::string hex(const ChaCha8Rng::Seed& seed) {
  std::string text;
  char digits[3];
  for (const std::uint8_t byte : seed) {
    std::snprintf(digits, sizeof digits, "%02x", byte);
    text += digits;
  }
  return text;
}

TEST(ForestSampling, SeedsAndSamplesMatchReferenceVectors) {
  const auto golden = testing::load_json("seeds_and_samples.json");
  const auto seeds = derive_tree_seeds(7, 10);
  const auto expected = golden["derive_tree_seeds_7_10_hex"].get<std::vector<std::string>>();
  ASSERT_EQ(seeds.size(), expected.size());
  for (std::size_t b = 0; b < seeds.size(); ++b) EXPECT_EQ(hex(seeds[b]), expected[b]) << b;
  for (const auto& draw : golden["draw_sample"]) {
    ChaCha8Rng stream = ChaCha8Rng::from_seed(seeds[draw["tree"].get<std::size_t>()]);
    const auto rows = draw_sample(draw["n"], draw["bootstrap"], draw["fraction"], stream);
    EXPECT_EQ(rows, draw["rows"].get<std::vector<std::uint32_t>>());
    EXPECT_EQ(stream.words_consumed(), draw["words_consumed"].get<std::uint64_t>());
  }
}

// Entering the stream at a later tree gives that tree the seed it has in the
// whole sequence, at every offset within a keystream block and buffer.
TEST(ForestSampling, SeedsOfATreeRangeAreTheSeedsOfThoseTrees) {
  const auto all = derive_tree_seeds(7, 40);
  for (std::uint64_t first = 0; first < 30; ++first) {
    for (const std::size_t count : {1u, 3u, 10u}) {
      const auto range = derive_tree_seeds(7, first, count);
      EXPECT_TRUE(std::equal(range.begin(), range.end(), all.begin() + first)) << first;
    }
  }
}

TEST(ForestSampling, SampleSizeRoundsHalfAwayAndClamps) {
  EXPECT_EQ(sample_size(5, 0.5), 3u);
  EXPECT_EQ(sample_size(3, 0.1), 1u);
  EXPECT_EQ(sample_size(10, 1.0), 10u);
  EXPECT_EQ(sample_size(1, 0.5), 1u);
  ChaCha8Rng stream = ChaCha8Rng::seed_from_u64(0);
  const auto permutation = draw_sample(6, false, 1.0, stream);
  std::vector<std::uint32_t> sorted = permutation;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, (std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5}));
}

// Both sizes round fraction·n the same way (halves away from zero, saturating)
// and differ only in their clamps.
struct ShareCase {
  double fraction;
  std::size_t n;
  std::size_t rounded;
  std::size_t sample;
  std::size_t honest;
};

class RoundedShare : public ::testing::TestWithParam<ShareCase> {};

TEST_P(RoundedShare, RoundsOnceAndClampsPerUse) {
  const ShareCase& c = GetParam();
  EXPECT_EQ(rounded_share(c.fraction, c.n), c.rounded);
  EXPECT_EQ(sample_size(c.n, c.fraction), c.sample);
  EXPECT_EQ(honest_split_size(c.fraction, c.n), c.honest);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RoundedShare,
    ::testing::Values(ShareCase{0.5, 5, 3, 3, 3}, ShareCase{0.25, 10, 3, 3, 3},
                      ShareCase{0.25, 2, 1, 1, 1}, ShareCase{0.05, 10, 1, 1, 1},
                      ShareCase{0.01, 10, 0, 1, 1}, ShareCase{0.99, 10, 10, 10, 9},
                      ShareCase{1.0, 10, 10, 10, 9}, ShareCase{0.5, 3, 2, 2, 2},
                      ShareCase{std::numeric_limits<double>::quiet_NaN(), 4, 0, 1, 1},
                      ShareCase{1e300, 4, SIZE_MAX, 4, 3}));

// The candidate features of `nodes` successive nodes over `p` features.
std::vector<std::vector<std::uint32_t>> sampled_features(std::size_t p, MaxFeatures max_features,
                                                         ChaCha8Rng& stream, int nodes) {
  FeatureSampler sampler(p, max_features.resolve(p));
  std::vector<std::vector<std::uint32_t>> drawn;
  for (int node = 0; node < nodes; ++node) {
    const std::span<const std::uint32_t> features = sampler.draw(stream);
    drawn.emplace_back(features.begin(), features.end());
  }
  return drawn;
}

TEST(SampleFeatures, DrawsPartialFisherYatesFromAPersistentOrder) {
  ChaCha8Rng stream = ChaCha8Rng::seed_from_u64(42);
  const auto drawn = sampled_features(5, MaxFeatures::fixed(2), stream, 2);
  ChaCha8Rng replay = ChaCha8Rng::seed_from_u64(42);
  std::vector<std::uint32_t> order{0, 1, 2, 3, 4};
  for (int node = 0; node < 2; ++node) {
    for (std::size_t j = 0; j < 2; ++j) std::swap(order[j], order[replay.random_range(j, 5)]);
    EXPECT_EQ(drawn[node], (std::vector<std::uint32_t>{order[0], order[1]}));
  }
  EXPECT_EQ(stream, replay);
}

TEST(SampleFeatures, AllFeaturesDrawNothing) {
  ChaCha8Rng stream = ChaCha8Rng::seed_from_u64(1);
  EXPECT_EQ(sampled_features(3, MaxFeatures::fixed(3), stream, 1)[0],
            (std::vector<std::uint32_t>{0, 1, 2}));
  EXPECT_EQ(stream.words_consumed(), 0u);
}

TEST(Shuffle, ConsumesOneDrawPerPositionAfterTheFirst) {
  std::vector<std::uint32_t> rows{0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  ChaCha8Rng stream = ChaCha8Rng::seed_from_u64(3);
  shuffle_in_place(rows, stream);
  const auto golden = testing::load_json("seeds_and_samples.json");
  EXPECT_EQ(rows,
            golden["shuffle_in_place_0_to_9_seed_from_u64_3"].get<std::vector<std::uint32_t>>());
  std::vector<std::uint32_t> single{7};
  ChaCha8Rng untouched = ChaCha8Rng::seed_from_u64(3);
  shuffle_in_place(single, untouched);
  EXPECT_EQ(untouched.words_consumed(), 0u);
}

TEST(Honesty, SplitSizesRoundHalfAwayAndClamp) {
  EXPECT_EQ(honest_split_size(0.5, 10), 5u);
  EXPECT_EQ(honest_split_size(0.25, 10), 3u);
  EXPECT_EQ(honest_split_size(0.25, 2), 1u);
  EXPECT_EQ(honest_split_size(0.05, 10), 1u);
  EXPECT_EQ(honest_split_size(0.99, 10), 9u);
}

TEST(Honesty, SplitsShuffledRowsIntoSplittingAndEstimation) {
  std::vector<std::uint32_t> rows = testing::all_rows(10);
  ChaCha8Rng stream = ChaCha8Rng::seed_from_u64(3);
  TreeParams params;
  params.honesty = 0.3;
  TreeRows honest = arrange_rows(rows, params, stream);
  const auto golden = testing::load_json("seeds_and_samples.json");
  const auto shuffled =
      golden["shuffle_in_place_0_to_9_seed_from_u64_3"].get<std::vector<std::uint32_t>>();
  EXPECT_EQ(std::vector<std::uint32_t>(honest.splitting().begin(), honest.splitting().end()),
            std::vector<std::uint32_t>(shuffled.begin(), shuffled.begin() + 3));
  EXPECT_EQ(std::vector<std::uint32_t>(honest.estimation().begin(), honest.estimation().end()),
            std::vector<std::uint32_t>(shuffled.begin() + 3, shuffled.end()));
}

struct LittleBagCase {
  const char* name;
  std::size_t n;
  std::size_t n_trees;
  std::size_t ci_group_size;
  double fraction;
  bool possible;
};

class LittleBags : public ::testing::TestWithParam<LittleBagCase> {};

TEST_P(LittleBags, AreCheckedBeforeAnyDraw) {
  const auto& c = GetParam();
  ForestParams params;
  params.n_trees = c.n_trees;
  params.ci_group_size = c.ci_group_size;
  params.subsample_fraction = c.fraction;
  EXPECT_EQ(!little_bag_mismatch(c.n, params).has_value(), c.possible);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LittleBags,
    ::testing::Values(LittleBagCase{"no_groups", 1, 7, 1, 1.0, true},
                      LittleBagCase{"pairs", 101, 8, 2, 0.5, true},
                      LittleBagCase{"group_size_zero", 10, 8, 0, 0.5, false},
                      LittleBagCase{"trees_not_a_multiple", 10, 9, 2, 0.5, false},
                      LittleBagCase{"sample_beyond_the_half", 10, 8, 2, 0.6, false},
                      LittleBagCase{"one_row", 1, 8, 2, 0.5, false}),
    [](const auto& info) { return std::string(info.param.name); });

// A tree in a little bag draws about the share of all rows it would draw
// without groups, and never more than the half-sample holds.
TEST(LittleBags, TreeSampleIsTwiceTheFractionOfTheHalf) {
  ForestParams params;
  params.ci_group_size = 2;
  params.subsample_fraction = 0.5;
  EXPECT_EQ(tree_sample_size(101, params), 50u);
  params.subsample_fraction = 0.2;
  EXPECT_EQ(tree_sample_size(101, params), 20u);
  params.ci_group_size = 1;
  EXPECT_EQ(tree_sample_size(101, params), 20u);
}

// A weighted fit draws among its kept rows as the fit on those rows alone
// would, little bags included: the half-samples are of the kept rows, so a row
// left out is never drawn.
TEST(LittleBags, DrawAmongTheKeptRowsAsOnThoseRowsAlone) {
  const std::vector<std::uint32_t> kept = {0, 2, 3, 5, 8, 9, 11, 12, 14, 17};
  ForestParams params;
  params.n_trees = 4;
  params.ci_group_size = 2;
  params.subsample_fraction = 0.4;
  params.tree.honesty = 0.5;
  for (std::uint64_t tree = 0; tree < params.n_trees; ++tree) {
    ChaCha8Rng stream = ChaCha8Rng::from_seed(derive_tree_seeds(5, tree, 1)[0]);
    ChaCha8Rng alone_stream = stream;
    const TreeRows rows = draw_tree_rows(20, kept, params, 5, tree, stream);
    const TreeRows alone = draw_tree_rows(kept.size(), params, 5, tree, alone_stream);
    ASSERT_EQ(rows.rows.size(), alone.rows.size());
    for (std::size_t k = 0; k < rows.rows.size(); ++k) {
      EXPECT_EQ(rows.rows[k], kept[alone.rows[k]]);
    }
    EXPECT_EQ(rows.n_splitting, alone.n_splitting);
  }
}

// The counts the loader checks a model against are those of the draws: the
// rows an honest tree estimates on, and too few rows exactly where the honest
// split would refuse them.
class DrawnCounts : public ::testing::TestWithParam<std::tuple<std::size_t, double, std::size_t>> {
};

TEST_P(DrawnCounts, AreTheCountsOfTheDraws) {
  const auto [n, fraction, ci_group_size] = GetParam();
  ForestParams params;
  params.n_trees = 4;
  params.bootstrap = false;
  params.subsample_fraction = fraction;
  params.ci_group_size = ci_group_size;
  for (const auto honesty : {std::optional<double>{}, std::optional<double>{0.3}}) {
    params.tree.honesty = honesty;
    const auto too_few = too_few_rows_drawn(n, params);
    for (std::uint64_t tree = 0; tree < params.n_trees; ++tree) {
      ChaCha8Rng stream = ChaCha8Rng::from_seed(derive_tree_seeds(3, tree, 1)[0]);
      if (too_few) {
        EXPECT_THROW((void)draw_tree_rows(n, params, 3, tree, stream), InternalError);
        continue;
      }
      TreeRows rows = draw_tree_rows(n, params, 3, tree, stream);
      EXPECT_EQ(rows.estimation().size(), tree_estimation_size(n, params));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, DrawnCounts,
                         ::testing::Values(std::tuple{1, 1.0, 1}, std::tuple{2, 1.0, 1},
                                           std::tuple{60, 0.02, 1}, std::tuple{60, 0.03, 1},
                                           std::tuple{101, 0.7, 1}, std::tuple{3, 0.5, 2},
                                           std::tuple{5, 0.5, 2}, std::tuple{101, 0.2, 2}));

// A thread lends each tree's draw the buffer of the tree before, with that
// tree's rows still in it, longer or shorter than the new draw: the rows must
// be those of a draw into fresh memory.
class LentBuffer
    : public ::testing::TestWithParam<std::tuple<bool, double, std::size_t, std::size_t>> {};

TEST_P(LentBuffer, DrawsTheRowsOfAFreshDraw) {
  const auto [bootstrap, fraction, group, stale] = GetParam();
  ForestParams params;
  params.n_trees = 4;
  params.bootstrap = bootstrap;
  params.subsample_fraction = fraction;
  params.ci_group_size = group;
  params.tree.honesty = 0.5;
  for (std::uint64_t tree = 0; tree < params.n_trees; ++tree) {
    ChaCha8Rng stream = ChaCha8Rng::from_seed(derive_tree_seeds(3, tree, 1)[0]);
    ChaCha8Rng fresh_stream = stream;
    std::vector<std::uint32_t> buffer(stale, 7u);
    const TreeRows rows = draw_tree_rows(40, params, 3, tree, stream, std::move(buffer));
    const TreeRows fresh = draw_tree_rows(40, params, 3, tree, fresh_stream);
    EXPECT_EQ(rows.rows, fresh.rows) << tree;
    EXPECT_EQ(rows.n_splitting, fresh.n_splitting) << tree;
    EXPECT_EQ(stream.words_consumed(), fresh_stream.words_consumed()) << tree;
  }
}

INSTANTIATE_TEST_SUITE_P(Sampling, LentBuffer,
                         ::testing::Combine(::testing::Bool(), ::testing::Values(0.3, 0.5),
                                            ::testing::Values(1u, 2u),
                                            ::testing::Values(0u, 5u, 100u)));

}  // namespace
}  // namespace korvane
