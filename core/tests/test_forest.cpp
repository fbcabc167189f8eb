#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <variant>

#include "korvane/criteria/gradient.hpp"
#include "korvane/forest.hpp"
#include "korvane/persistence.hpp"
#include "support.hpp"

namespace korvane {
namespace {

using testing::Dataset;
using testing::forest_params;
using testing::log_rank_forest;
using testing::widened;

// A forest is a pure function of its inputs: growing the trees one by one on the
// calling thread gives the same trees and records as the pool.
TEST(Forest, EqualsSequentialPerTreeFits) {
  const Dataset d = Dataset::random(120, 5, 3);
  const ForestParams params = forest_params(9, true, 0.8, 0.5);
  const auto forest = log_rank_forest(d, params, 11);
  const auto seeds = derive_tree_seeds(11, params.n_trees);
  for (std::size_t b = 0; b < params.n_trees; ++b) {
    ChaCha8Rng stream = ChaCha8Rng::from_seed(seeds[b]);
    TreeRows rows = draw_tree_rows(d.n, params, 11, b, stream);
    std::vector<std::uint32_t> record(d.n, NO_LEAF);
    const auto tree =
        grow(d.covariates(), rows, d.log_rank(), d.nelson_aalen(), params.tree, stream, record);
    EXPECT_EQ(forest.trees[b], tree);
    EXPECT_EQ(widened(forest.recorded_leaves(b)), record);
  }
}

TEST(Forest, MoreTreesKeepTheFirstOnes) {
  const Dataset d = Dataset::random(80, 4, 5);
  const auto small = log_rank_forest(d, forest_params(3, true, 1.0), 2);
  const auto large = log_rank_forest(d, forest_params(6, true, 1.0), 2);
  for (std::size_t b = 0; b < 3; ++b) EXPECT_EQ(small.trees[b], large.trees[b]);
}

TEST(Forest, RecordsBootstrapRowsOnceAndOthersAsNoLeaf) {
  const Dataset d = Dataset::random(60, 3, 8);
  const ForestParams params = forest_params(4, true, 1.0);
  const auto forest = log_rank_forest(d, params, 4);
  const auto seeds = derive_tree_seeds(4, params.n_trees);
  for (std::size_t b = 0; b < params.n_trees; ++b) {
    ChaCha8Rng stream = ChaCha8Rng::from_seed(seeds[b]);
    const auto sample = draw_sample(d.n, true, 1.0, stream);
    std::vector<bool> drawn(d.n, false);
    for (const std::uint32_t row : sample) drawn[row] = true;
    const auto leaves = widened(forest.recorded_leaves(b));
    for (std::size_t i = 0; i < d.n; ++i) EXPECT_EQ(leaves[i] != NO_LEAF, drawn[i]);
    const auto recorded = static_cast<std::uint32_t>(std::count(drawn.begin(), drawn.end(), true));
    const auto& sizes = forest.leaf_sizes[b];
    EXPECT_EQ(std::accumulate(sizes.begin(), sizes.end(), 0u), recorded);
  }
}

TEST(Forest, HonestTreesLeaveSplittingRowsUnrecorded) {
  const Dataset d = Dataset::random(60, 3, 9);
  const auto forest = log_rank_forest(d, forest_params(3, false, 1.0, 0.5), 1);
  for (std::size_t b = 0; b < 3; ++b) {
    const auto row = widened(forest.recorded_leaves(b));
    EXPECT_EQ(std::count(row.begin(), row.end(), NO_LEAF), 30);
  }
}

TEST(Forest, KeepsItsSettingsAndSeed) {
  const Dataset d = Dataset::random(30, 2, 4);
  const ForestParams params = forest_params(2, false, 0.5, 0.5);
  const auto forest = log_rank_forest(d, params, 77);
  EXPECT_EQ(forest.params, params);
  EXPECT_EQ(forest.seed, 77u);
  EXPECT_EQ(forest.first_tree, 0u);
  EXPECT_EQ(forest.n_train_samples, d.n);
  EXPECT_EQ(forest.recorded_leaf.size(), 2u);
  EXPECT_EQ(widened(forest.recorded_leaves(1)).size(), d.n);
}

TEST(Forest, ImpossibleSizesFailAsAllocations) {
  const Dataset d = Dataset::random(10, 2, 1);
  ForestParams params = forest_params(SIZE_MAX / 4, true, 1.0);
  EXPECT_THROW(log_rank_forest(d, params, 0), std::bad_alloc);
}

struct PieceCase {
  ForestParams params;
  std::vector<std::size_t> bounds;  // pieces [bounds[j], bounds[j + 1])
};

class Pieces : public ::testing::TestWithParam<PieceCase> {};

// Concatenated in order, the pieces are the forest of one fit: trees, recorded
// leaves, leaf sizes and settings, bit for bit, with one table of curve times
// as the forest of one fit has. So are pieces sent as bytes (as to cluster
// workers and back), whose tables hold only the times of their own curves.
TEST_P(Pieces, JoinIntoTheForestOfOneFit) {
  const Dataset d = Dataset::random(90, 4, 21);
  const auto& [params, bounds] = GetParam();
  const auto whole = log_rank_forest(d, params, 5);
  EXPECT_TRUE(testing::share_one_table(whole));
  std::vector<Forest<StepFunction>> pieces;
  std::vector<Forest<StepFunction>> sent;
  for (std::size_t j = 0; j + 1 < bounds.size(); ++j) {
    pieces.push_back(grow_forest(d.covariates(), d.log_rank(), d.nelson_aalen(), params, 5,
                                 TreeRange{bounds[j], bounds[j + 1]}));
    EXPECT_EQ(pieces.back().first_tree, bounds[j]);
    sent.push_back(std::get<Forest<StepFunction>>(from_bytes(to_bytes(pieces.back()))));
  }
  for (const auto* kind : {&pieces, &sent}) {
    std::vector<const Forest<StepFunction>*> views;
    for (const auto& piece : *kind) views.push_back(&piece);
    const auto joined = join<StepFunction>(views);
    EXPECT_EQ(joined, whole);
    EXPECT_TRUE(testing::share_one_table(joined));
    EXPECT_EQ(to_bytes(joined), to_bytes(whole));
  }
}

INSTANTIATE_TEST_SUITE_P(Settings, Pieces,
                         ::testing::Values(PieceCase{forest_params(9, true, 1.0), {0, 2, 3, 8, 9}},
                                           PieceCase{forest_params(4, false, 0.6, 0.5),
                                                     {0, 1, 2, 3, 4}},
                                           PieceCase{forest_params(7, true, 0.7, 0.4), {0, 5, 7}},
                                           PieceCase{forest_params(3, false, 0.5), {0, 3}}));

TEST(Pieces, OfAForestGrownFurtherJoinWithItsFirstTrees) {
  const Dataset d = Dataset::random(60, 3, 2);
  const auto first = log_rank_forest(d, forest_params(4, true, 1.0), 9);
  const auto further = grow_forest(d.covariates(), d.log_rank(), d.nelson_aalen(),
                                   forest_params(7, true, 1.0), 9, TreeRange{4, 7});
  const std::vector<const Forest<StepFunction>*> views{&first, &further};
  EXPECT_EQ(join<StepFunction>(views), log_rank_forest(d, forest_params(7, true, 1.0), 9));
}

TEST(Pieces, OutsideTheForestAreRefused) {
  const Dataset d = Dataset::random(20, 2, 1);
  for (const TreeRange range : {TreeRange{2, 2}, TreeRange{3, 2}, TreeRange{0, 5}}) {
    EXPECT_THROW((void)grow_forest(d.covariates(), d.log_rank(), d.nelson_aalen(),
                                   forest_params(4, true, 1.0), 0, range),
                 InternalError);
  }
}

}  // namespace
}  // namespace korvane
