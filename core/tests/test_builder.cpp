#include <gtest/gtest.h>
#include <pthread.h>

#include <cmath>
#include <limits>
#include <random>

#include "korvane/builder.hpp"
#include "korvane/criteria/gradient.hpp"
#include "support.hpp"

namespace korvane {
namespace {

using testing::all_rows;
using testing::Dataset;
using testing::log_rank_tree;
using testing::params_with;

TEST(Tree, NoColumnsGiveASingleLeaf) {
  Dataset d = Dataset::random(6, 1, 4);
  d.p = 0;
  const auto tree = log_rank_tree(d, params_with(1, MaxFeatures::sqrt()), 0);
  EXPECT_EQ(tree.n_nodes(), 1u);
  EXPECT_EQ(tree.n_features, 0u);
}

TEST(Partition, FollowsTheSwapProcedureAndSendsNaNRight) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<double> column{3, nan, 1, 2, 5, 2};
  const MatrixView x{column.data(), 6, 1, 1, 6};
  std::vector<std::uint32_t> rows{0, 1, 2, 3, 4, 5};
  EXPECT_EQ(
      partition(x, rows,
                node::Split{.threshold = 2.0, .score = 0.0, .feature = 0, .left = 0, .right = 0}),
      3u);
  EXPECT_EQ(rows, (std::vector<std::uint32_t>{5, 3, 2, 4, 1, 0}));
}

TEST(Tree, NoRowsGiveOneEmptyLeaf) {
  const Dataset d = Dataset::from_rows({}, {}, {});
  Dataset with_columns = d;
  with_columns.p = 2;
  const auto tree = log_rank_tree(with_columns, params_with(1), 0);
  EXPECT_EQ(tree.n_nodes(), 1u);
  EXPECT_EQ(tree.n_leaves(), 1u);
  EXPECT_EQ(tree.depth(), 0u);
  EXPECT_EQ(tree.leaves[0].size(), 0u);
}

TEST(Tree, MaxDepthZeroIsASingleLeafWithoutDraws) {
  const Dataset d = Dataset::random(50, 4, 2);
  TreeParams params = params_with(1, MaxFeatures::sqrt());
  params.max_depth = 0;
  TreeRows rows{all_rows(50), std::nullopt};
  ChaCha8Rng stream = ChaCha8Rng::seed_from_u64(9);
  const auto tree = grow(d.covariates(), rows, d.log_rank(), d.nelson_aalen(), params, stream, {});
  EXPECT_EQ(tree.n_nodes(), 1u);
  EXPECT_EQ(stream.words_consumed(), 0u);
}

// The midpoint of two neighbouring values can equal one of them or overflow;
// such a split must end in a leaf instead of repeating forever.
class InseparableNeighbours : public ::testing::TestWithParam<std::pair<double, double>> {};

TEST_P(InseparableNeighbours, EndInALeaf) {
  const auto [a, b] = GetParam();
  const Dataset d = Dataset::from_rows({{a}, {b}}, {1, 2}, {1, 1});
  const auto tree = log_rank_tree(d, params_with(0), 0);
  EXPECT_EQ(tree.n_leaves(), 1u);
}

constexpr double kInf = std::numeric_limits<double>::infinity();
INSTANTIATE_TEST_SUITE_P(Values, InseparableNeighbours,
                         ::testing::Values(std::pair{0.0, kInf}, std::pair{-kInf, kInf},
                                           std::pair{1.0 + 0x1p-52, 1.0 + 0x1p-51},
                                           std::pair{1.7e308, 1.79e308}));

TEST(Tree, PropertiesHoldOnRandomData) {
  for (std::uint32_t seed = 0; seed < 12; ++seed) {
    const Dataset d = Dataset::random(200, 4, seed);
    TreeParams params = params_with(1 + seed % 5, MaxFeatures::fixed(2));
    params.max_depth = 3 + seed % 4;
    if (seed % 2 == 1) params.honesty = 0.5;
    std::vector<std::uint32_t> record(d.n, 0xFFFFFFFFu);
    ChaCha8Rng stream = ChaCha8Rng::seed_from_u64(seed);
    TreeRows rows = arrange_rows(all_rows(d.n), params, stream);
    const auto tree =
        grow(d.covariates(), rows, d.log_rank(), d.nelson_aalen(), params, stream, record);
    EXPECT_LE(tree.depth(), *params.max_depth);
    std::vector<std::vector<std::uint32_t>> leaf_rows(tree.n_leaves());
    for (std::uint32_t row = 0; row < d.n; ++row) {
      if (record[row] != 0xFFFFFFFFu) leaf_rows[record[row]].push_back(row);
    }
    for (std::size_t leaf = 0; leaf < tree.n_leaves(); ++leaf) {
      if (tree.n_leaves() > 1) {
        EXPECT_GE(leaf_rows[leaf].size(), params.min_samples_leaf);
      }
      // Each leaf keeps, among all the tree's curves, the estimate of its rows.
      const StepFunction expected = testing::with_times(d.nelson_aalen().estimate(leaf_rows[leaf]));
      EXPECT_EQ(testing::with_times(tree.leaves[leaf]), expected);
    }
    // Identical seeds give identical trees; a row-major view gives the same tree.
    std::vector<double> row_major(d.n * d.p);
    for (std::size_t r = 0; r < d.n; ++r)
      for (std::size_t f = 0; f < d.p; ++f) row_major[r * d.p + f] = d.x[f * d.n + r];
    const Covariates transposed(
        MatrixView{row_major.data(), d.n, d.p, static_cast<std::ptrdiff_t>(d.p), 1});
    ChaCha8Rng again = ChaCha8Rng::seed_from_u64(seed);
    rows = arrange_rows(all_rows(d.n), params, again);
    EXPECT_EQ(grow(transposed, rows, d.log_rank(), d.nelson_aalen(), params, again, {}), tree);
  }
}

// A thread grows tree after tree in one workspace: each tree must equal the
// tree grown alone, whether the tree before it was larger or smaller, and keep
// arrays of exactly its size rather than the workspace's capacity.
TEST(Tree, TreesGrownInOneWorkspaceEqualTreesGrownAlone) {
  const Dataset d = Dataset::random(300, 4, 9);
  ScratchOf<LogRankCriterion>::type scratch;
  TreeWorkspace<StepFunction> workspace;
  for (const std::size_t leaf : {1u, 40u, 3u, 150u, 2u}) {
    const TreeParams params = params_with(leaf, MaxFeatures::fixed(2));
    std::vector<std::uint32_t> record(d.n, 0xFFFFFFFFu), record_alone(d.n, 0xFFFFFFFFu);
    ChaCha8Rng stream = ChaCha8Rng::seed_from_u64(leaf), alone_stream = stream;
    TreeRows rows = arrange_rows(all_rows(d.n), params, stream);
    TreeRows alone_rows = arrange_rows(all_rows(d.n), params, alone_stream);
    const auto tree = grow(d.covariates(), rows, d.log_rank(), d.nelson_aalen(), params, stream,
                           record, CallControl{}, scratch, workspace);
    const auto alone = grow(d.covariates(), alone_rows, d.log_rank(), d.nelson_aalen(), params,
                            alone_stream, record_alone);
    EXPECT_EQ(tree, alone) << leaf;
    EXPECT_EQ(record, record_alone) << leaf;
    EXPECT_EQ(tree.nodes.capacity(), tree.nodes.size()) << leaf;
    EXPECT_EQ(tree.leaves.time_index.capacity(), tree.leaves.time_index.size()) << leaf;
    EXPECT_EQ(tree.leaves.values.capacity(), tree.leaves.values.size()) << leaf;
    EXPECT_EQ(tree.leaves.offsets.capacity(), tree.leaves.offsets.size()) << leaf;
  }
}

// With a constant pseudo-outcome every candidate scores 0 and the smallest
// threshold wins, so each split peels off one row: the tree is as deep as its
// row count and must still fit on a thread with a small stack.
TEST(Tree, VeryDeepTreeFitsOnASmallStack) {
  constexpr std::size_t n = 5000;
  std::vector<double> column(n), y(n, 0.0);
  for (std::size_t i = 0; i < n; ++i) column[i] = static_cast<double>(i);
  struct Job {
    Covariates covariates;
    GradientCriterion criterion;
    Tree<NoPayload> tree;
  } job{Covariates(MatrixView{column.data(), n, 1, 1, static_cast<std::ptrdiff_t>(n)}),
        GradientCriterion(y),
        {}};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 512 * 1024);
  pthread_t thread;
  auto run = [](void* arg) -> void* {
    auto* job = static_cast<Job*>(arg);
    job->tree = fit_tree(job->covariates, job->criterion, NoLeaves{}, params_with(1), 0);
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, run, &job), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  EXPECT_EQ(job.tree.depth(), n - 1);
  EXPECT_EQ(job.tree.n_leaves(), n);
}

}  // namespace
}  // namespace korvane
