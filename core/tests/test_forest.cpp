#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <numeric>

#include "korvane/forest.hpp"
#include "support.hpp"

namespace korvane {
namespace {

using testing::Dataset;

ForestParams forest_params(std::size_t n_trees, bool bootstrap, double fraction,
                           std::optional<double> honesty = std::nullopt) {
  ForestParams params;
  params.n_trees = n_trees;
  params.bootstrap = bootstrap;
  params.subsample_fraction = fraction;
  params.tree.min_samples_leaf = 3;
  params.tree.max_features = MaxFeatures::sqrt();
  params.tree.honesty = honesty;
  return params;
}

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

// A forest is a pure function of its inputs: growing the trees one by one on the
// calling thread gives the same trees and records as the pool.
TEST(Forest, EqualsSequentialPerTreeFits) {
  const Dataset d = Dataset::random(120, 5, 3);
  const ForestParams params = forest_params(9, true, 0.8, 0.5);
  const auto forest = Forest<StepFunction>::fit(d.data(), LogRankCriterion{}, params, 11);
  const auto seeds = derive_tree_seeds(11, params.n_trees);
  for (std::size_t b = 0; b < params.n_trees; ++b) {
    ChaCha8Rng stream = ChaCha8Rng::from_seed(seeds[b]);
    auto sample = draw_sample(d.n, params.bootstrap, params.subsample_fraction, stream);
    std::vector<std::uint32_t> record(d.n, NO_LEAF);
    const auto tree = fit_subset_recording<StepFunction>(d.data(), sample, LogRankCriterion{},
                                                         params.tree, stream, record);
    EXPECT_EQ(forest.trees[b], tree);
    EXPECT_TRUE(std::equal(record.begin(), record.end(), forest.leaf_row(b).begin()));
  }
}

TEST(Forest, MoreTreesKeepTheFirstOnes) {
  const Dataset d = Dataset::random(80, 4, 5);
  const auto small = Forest<StepFunction>::fit(d.data(), LogRankCriterion{}, forest_params(3, true, 1.0), 2);
  const auto large = Forest<StepFunction>::fit(d.data(), LogRankCriterion{}, forest_params(6, true, 1.0), 2);
  for (std::size_t b = 0; b < 3; ++b) EXPECT_EQ(small.trees[b], large.trees[b]);
}

TEST(Forest, RecordsBootstrapRowsOnceAndOthersAsNoLeaf) {
  const Dataset d = Dataset::random(60, 3, 8);
  const ForestParams params = forest_params(4, true, 1.0);
  const auto forest = Forest<StepFunction>::fit(d.data(), LogRankCriterion{}, params, 4);
  const auto seeds = derive_tree_seeds(4, params.n_trees);
  for (std::size_t b = 0; b < params.n_trees; ++b) {
    ChaCha8Rng stream = ChaCha8Rng::from_seed(seeds[b]);
    const auto sample = draw_sample(d.n, true, 1.0, stream);
    std::vector<bool> drawn(d.n, false);
    for (const std::uint32_t row : sample) drawn[row] = true;
    for (std::size_t i = 0; i < d.n; ++i) EXPECT_EQ(forest.leaf_row(b)[i] != NO_LEAF, drawn[i]);
    const auto recorded = static_cast<std::uint32_t>(std::count(drawn.begin(), drawn.end(), true));
    const auto& sizes = forest.leaf_sizes[b];
    EXPECT_EQ(std::accumulate(sizes.begin(), sizes.end(), 0u), recorded);
  }
}

TEST(Forest, HonestTreesLeaveSplittingRowsUnrecorded) {
  const Dataset d = Dataset::random(60, 3, 9);
  const auto forest =
      Forest<StepFunction>::fit(d.data(), LogRankCriterion{}, forest_params(3, false, 1.0, 0.5), 1);
  for (std::size_t b = 0; b < 3; ++b) {
    const auto row = forest.leaf_row(b);
    EXPECT_EQ(std::count(row.begin(), row.end(), NO_LEAF), 30);
  }
}

TEST(ForestWeights, FullSamplesGiveWeightsSummingToOne) {
  const Dataset d = Dataset::random(70, 4, 10);
  const auto forest = Forest<StepFunction>::fit(d.data(), LogRankCriterion{}, forest_params(5, false, 1.0), 3);
  for (std::size_t b = 0; b < 5; ++b) {
    const auto& sizes = forest.leaf_sizes[b];
    EXPECT_EQ(std::accumulate(sizes.begin(), sizes.end(), 0u), d.n);
  }
  const std::vector<double> query{1, 2, 3, 4};
  const auto w = forest_weights(forest, VectorView{query.data(), 4, 1});
  EXPECT_NEAR(std::accumulate(w.begin(), w.end(), 0.0), 1.0, 1e-12);
}

TEST(ForestWeights, OneTreeSharesOneOverLeafSize) {
  const Dataset d = Dataset::random(40, 2, 12);
  const auto forest = Forest<NoPayload>::fit(d.data(), GradientCriterion(d.time), forest_params(1, true, 1.0), 6);
  const VectorView query{d.x.data(), 2, static_cast<std::ptrdiff_t>(d.n)};
  const std::uint32_t leaf = forest.trees[0].predict_leaf(query);
  const double share = 1.0 / forest.leaf_sizes[0][leaf];
  const auto w = forest_weights(forest, query);
  for (std::size_t i = 0; i < d.n; ++i) EXPECT_EQ(w[i], forest.leaf_row(0)[i] == leaf ? share : 0.0);
}

// The batch visits only the rows of each reached leaf; its rows must equal the
// single-row scan to the last bit.
TEST(ForestWeights, BatchRowsEqualSingleRowWeightsBitForBit) {
  const Dataset d = Dataset::random(150, 4, 13);
  const auto forest =
      Forest<StepFunction>::fit(d.data(), LogRankCriterion{}, forest_params(17, true, 0.7, 0.4), 5);
  const Dataset queries = Dataset::random(25, 4, 14);
  const auto batch = forest_weights_batch(forest, queries.column_major());
  ASSERT_EQ(batch.size(), 25 * d.n);
  for (std::size_t r = 0; r < 25; ++r) {
    const auto single = forest_weights(forest, VectorView{queries.x.data() + r, 4, 25});
    EXPECT_EQ(0, std::memcmp(single.data(), batch.data() + r * d.n, d.n * sizeof(double))) << r;
  }
  EXPECT_TRUE(forest_weights_batch(forest, MatrixView{queries.x.data(), 0, 4, 1, 0}).empty());
}

TEST(ForestPrediction, OneTreeForestEqualsItsTree) {
  const Dataset d = Dataset::random(50, 3, 15);
  const auto forest = Forest<StepFunction>::fit(d.data(), LogRankCriterion{}, forest_params(1, true, 1.0), 0);
  const std::vector<double> times{0.5, 3.0, 7.0, 100.0};
  EXPECT_EQ(predict_cumulative_hazard(forest, d.column_major(), times),
            predict_cumulative_hazard(forest.trees[0], d.column_major(), times));
}

TEST(Forest, ImpossibleSizesFailAsAllocations) {
  const Dataset d = Dataset::random(10, 2, 1);
  ForestParams params = forest_params(SIZE_MAX / 4, true, 1.0);
  EXPECT_THROW(Forest<StepFunction>::fit(d.data(), LogRankCriterion{}, params, 0), std::bad_alloc);
}

}  // namespace
}  // namespace korvane
