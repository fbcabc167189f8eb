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

namespace korvane {
namespace {

using testing::all_rows;
using testing::Dataset;
using testing::params_with;

Tree<StepFunction> grown(const Dataset& d, std::vector<std::uint32_t> sample,
                         const TreeParams& params, std::uint64_t seed,
                         std::vector<std::uint32_t>& record, ChaCha8Rng* stream_out = nullptr) {
  ChaCha8Rng stream = ChaCha8Rng::seed_from_u64(seed);
  TreeRows rows = arrange_rows(std::move(sample), params, stream);
  record.assign(d.n, NO_LEAF);
  auto tree = grow(d.covariates(), rows, d.log_rank(), d.nelson_aalen(), params, stream, record);
  if (stream_out != nullptr) *stream_out = stream;
  return tree;
}

// Every split holds at least min_samples_split occurrences and every leaf at
// least min_samples_leaf, counted from the records (a split's are its
// subtree's).
void expect_node_floors(const Tree<StepFunction>& tree, const std::vector<std::uint32_t>& sample,
                        const std::vector<std::uint32_t>& record, const TreeParams& params) {
  std::vector<std::size_t> per_leaf(tree.n_leaves(), 0);
  for (const std::uint32_t row : sample) ++per_leaf[record[row]];
  std::vector<std::size_t> per_node(tree.nodes.size(), 0);
  for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
    if (const auto* split = std::get_if<node::Split>(&tree.nodes[i])) {
      per_node[i] = per_node[split->left] + per_node[split->right];
      EXPECT_GE(per_node[i], params.min_samples_split) << "node " << i;
    } else {
      per_node[i] = per_leaf[std::get<node::Leaf>(tree.nodes[i]).leaf];
      EXPECT_GE(per_node[i], params.min_samples_leaf) << "node " << i;
    }
  }
}

// A node of fewer occurrences than min_samples_split is a leaf without a
// feature draw; a bootstrap's duplicates count once per draw.
class MinSamplesSplit : public ::testing::TestWithParam<bool> {};

TEST_P(MinSamplesSplit, SplitsANodeOfExactlyThatManyOccurrencesAndNotOneFewer) {
  const Dataset d = Dataset::random(24, 4, 5);
  std::vector<std::uint32_t> sample = all_rows(d.n);
  if (GetParam()) {  // 12 rows drawn twice each
    for (std::size_t i = 0; i < sample.size(); ++i) sample[i] = static_cast<std::uint32_t>(i / 2);
  }
  TreeParams params = params_with(1, MaxFeatures::sqrt());
  std::vector<std::uint32_t> record;
  params.min_samples_split = sample.size();
  EXPECT_GT(grown(d, sample, params, 3, record).n_nodes(), 1u);
  params.min_samples_split = sample.size() + 1;
  ChaCha8Rng stream = ChaCha8Rng::seed_from_u64(0);
  EXPECT_EQ(grown(d, sample, params, 3, record, &stream).n_nodes(), 1u);
  EXPECT_EQ(stream.words_consumed(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Duplicates, MinSamplesSplit, ::testing::Bool());

TEST(MinSamplesSplit, EverySplitNodeHoldsAtLeastThatManyAndSmallValuesChangeNothing) {
  for (std::uint32_t seed = 0; seed < 3; ++seed) {
    const Dataset d = Dataset::random(300, 4, seed);
    TreeParams params = params_with(1 + seed, MaxFeatures::fixed(2));
    std::vector<std::uint32_t> record;
    const auto plain = grown(d, all_rows(d.n), params, seed, record);
    // At most 2 · min_samples_leaf: the rule the builder always had.
    params.min_samples_split = 2 * params.min_samples_leaf;
    EXPECT_EQ(grown(d, all_rows(d.n), params, seed, record), plain) << seed;
    params.min_samples_split = 20 + 7 * seed;
    const auto tree = grown(d, all_rows(d.n), params, seed, record);
    expect_node_floors(tree, all_rows(d.n), record, params);
    EXPECT_LT(tree.n_leaves(), plain.n_leaves()) << seed;
  }
}

// Unweighted, a least share of the sample's weight is a least count of
// ceil(fraction · rows): the tree is the one of that min_samples_leaf.
class MinWeightFraction : public ::testing::TestWithParam<double> {};

TEST_P(MinWeightFraction, UnweightedIsTheCeilingOfTheShareAsMinSamplesLeaf) {
  const Dataset d = Dataset::random(203, 4, 8);
  std::vector<std::uint32_t> sample;
  std::mt19937 gen(3);
  for (std::size_t i = 0; i < 150; ++i) sample.push_back(static_cast<std::uint32_t>(gen() % d.n));
  TreeParams params = params_with(2, MaxFeatures::fixed(2));
  params.min_weight_fraction_leaf = GetParam();
  std::vector<std::uint32_t> record;
  const auto tree = grown(d, sample, params, 4, record);
  TreeParams counted =
      params_with(std::max<std::size_t>(2, static_cast<std::size_t>(std::ceil(GetParam() * 150.0))),
                  MaxFeatures::fixed(2));
  EXPECT_EQ(tree, grown(d, sample, counted, 4, record));
}

// Under honesty each child also holds the share of the estimation rows.
TEST_P(MinWeightFraction, HonestLeavesHoldTheShareOfTheEstimationRows) {
  const Dataset d = Dataset::random(400, 4, 9);
  TreeParams params = params_with(1, MaxFeatures::fixed(2));
  params.honesty = 0.3;
  params.min_weight_fraction_leaf = GetParam();
  std::vector<std::uint32_t> record;
  const auto tree = grown(d, all_rows(d.n), params, 6, record);
  const auto n_estimation = static_cast<double>(d.n - honest_split_size(0.3, d.n));
  std::vector<std::size_t> per_leaf(tree.n_leaves(), 0);
  for (const std::uint32_t leaf : record) {
    if (leaf != NO_LEAF) ++per_leaf[leaf];
  }
  if (tree.n_leaves() == 1) return;
  for (const std::size_t count : per_leaf) {
    EXPECT_GE(static_cast<double>(count), GetParam() * n_estimation);
  }
}

// Whole weights are repeated rows, under a floor on weight too.
TEST_P(MinWeightFraction, WholeWeightsGrowTheTreeOfRepeatedRows) {
  const Dataset d = Dataset::random(120, 3, 10);
  std::vector<double> weight(d.n);
  std::vector<std::vector<double>> x;
  std::vector<double> time;
  std::vector<std::uint8_t> event;
  for (std::uint32_t r = 0; r < d.n; ++r) {
    weight[r] = static_cast<double>(1 + r % 3);
    for (std::size_t copy = 0; copy < 1 + r % 3; ++copy) {
      x.push_back({d.x[r], d.x[d.n + r], d.x[2 * d.n + r]});
      time.push_back(d.time[r]);
      event.push_back(d.event[r]);
    }
  }
  const Dataset repeated = Dataset::from_rows(x, time, event);
  TreeParams params = params_with(1);
  params.min_weight_fraction_leaf = GetParam();
  const RowWeights rounded(weight);
  const auto w = rounded.values();
  const auto weighted = fit_tree(d.covariates(), LogRankCriterion(d.time, d.event, w),
                                 NelsonAalenLeaves{d.time, d.event, w}, params, 2, {}, w);
  EXPECT_EQ(weighted, testing::log_rank_tree(repeated, params, 2));
}

INSTANTIATE_TEST_SUITE_P(Shares, MinWeightFraction, ::testing::Values(0.01, 0.1, 0.23, 0.5));

// The best-first tree of at most `max_leaves` leaves as the full tree shows
// it: from the root, the frontier node whose split in the full tree scores
// highest (the one reached first on a tie) is expanded until there are
// max_leaves leaves; laid out in post-order with leaves numbered left to
// right.
std::vector<NodeKind> best_first_from_full(const Tree<StepFunction>& full, std::size_t max_leaves) {
  std::vector<bool> expanded(full.nodes.size(), false);
  std::vector<std::uint32_t> frontier{full.root};  // in the order nodes were reached
  for (std::size_t leaves = 1; leaves < max_leaves; ++leaves) {
    std::optional<std::uint32_t> best;
    double best_score = 0.0;
    for (const std::uint32_t i : frontier) {
      const auto* split = std::get_if<node::Split>(&full.nodes[i]);
      if (split == nullptr || expanded[i]) continue;
      if (!best || split->score > best_score) {
        best = i;
        best_score = split->score;
      }
    }
    if (!best) break;
    expanded[*best] = true;
    const auto& split = std::get<node::Split>(full.nodes[*best]);
    frontier.push_back(split.left);
    frontier.push_back(split.right);
  }
  std::vector<NodeKind> nodes;
  std::uint32_t next_leaf = 0;
  const auto lay_out = [&](const auto& self, std::uint32_t i) -> std::uint32_t {
    if (expanded[i]) {
      node::Split split = std::get<node::Split>(full.nodes[i]);
      split.left = self(self, split.left);
      split.right = self(self, split.right);
      nodes.emplace_back(split);
    } else {
      nodes.emplace_back(node::Leaf{next_leaf++});
    }
    return static_cast<std::uint32_t>(nodes.size() - 1);
  };
  lay_out(lay_out, full.root);
  return nodes;
}

// With every feature a candidate at every node (no draws), the best-first
// tree is the full tree cut back by expanding nodes in score order; it keeps
// the layout and records of any tree, and with as many leaves as the full
// tree or more it is the full tree.
class BestFirst : public ::testing::TestWithParam<bool> {};  // honest

TEST_P(BestFirst, IsTheFullTreeExpandedInScoreOrder) {
  for (std::uint32_t seed = 0; seed < 4; ++seed) {
    Dataset d = Dataset::random(250, 3, seed);
    std::mt19937 gen(seed);
    for (double& v : d.x) v = std::ldexp(static_cast<double>(gen() % 4096), -6);
    // Honest trees estimate on fewer rows: smaller leaves keep them large.
    TreeParams params = params_with(GetParam() ? 1 : 2 + seed);
    if (GetParam()) params.honesty = 0.6;
    std::vector<std::uint32_t> record;
    const auto full = grown(d, all_rows(d.n), params, seed, record);
    for (const std::size_t max_leaves : {std::size_t{2}, std::size_t{3}, std::size_t{7},
                                         full.n_leaves() / 2, full.n_leaves() - 1}) {
      if (max_leaves < 2 || max_leaves >= full.n_leaves()) continue;
      params.max_leaf_nodes = max_leaves;
      const auto tree = grown(d, all_rows(d.n), params, seed, record);
      EXPECT_EQ(tree.n_leaves(), max_leaves) << seed;
      EXPECT_EQ(tree.nodes, best_first_from_full(full, max_leaves)) << seed << " " << max_leaves;
      EXPECT_EQ(tree.root, tree.nodes.size() - 1);
      std::vector<std::vector<std::uint32_t>> leaf_rows(tree.n_leaves());
      for (std::uint32_t row = 0; row < d.n; ++row) {
        if (record[row] != NO_LEAF) leaf_rows[record[row]].push_back(row);
      }
      for (std::size_t leaf = 0; leaf < tree.n_leaves(); ++leaf) {
        EXPECT_EQ(testing::with_times(tree.leaves[leaf]),
                  testing::with_times(d.nelson_aalen().estimate(leaf_rows[leaf])));
      }
    }
    for (const std::size_t max_leaves : {full.n_leaves(), full.n_leaves() + 5}) {
      params.max_leaf_nodes = max_leaves;
      EXPECT_EQ(grown(d, all_rows(d.n), params, seed, record), full) << seed;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Honesty, BestFirst, ::testing::Bool());

// Two children whose best splits score exactly alike: the one made first
// (the left) is split first.
TEST(BestFirst, TiesGoToTheNodeMadeFirst) {
  const std::vector<double> column{0, 1, 2, 3, 4, 5, 6, 7};
  const std::vector<double> y{0, 0, 4, 4, 16, 16, 20, 20};
  const Covariates covariates(MatrixView{column.data(), 8, 1, 1, 8});
  TreeParams params = params_with(1);
  params.max_leaf_nodes = 3;
  const auto tree = fit_tree(covariates, GradientCriterion(y), NoLeaves{}, params, 0);
  ASSERT_EQ(tree.n_leaves(), 3u);
  const auto& root = std::get<node::Split>(tree.nodes[tree.root]);
  const auto& left = std::get<node::Split>(tree.nodes[root.left]);
  EXPECT_EQ(left.threshold, 1.5);
  EXPECT_TRUE(std::holds_alternative<node::Leaf>(tree.nodes[root.right]));
}

TEST(BestFirst, KeepsMaxDepthAndMinSamplesSplitAndDrawsFeatures) {
  for (std::uint32_t seed = 0; seed < 3; ++seed) {
    const Dataset d = Dataset::random(300, 5, seed);
    TreeParams params = params_with(1 + seed, MaxFeatures::fixed(2));
    params.max_depth = 2 + seed;
    params.min_samples_split = 10 + seed;
    params.max_leaf_nodes = 6 + 2 * seed;
    std::vector<std::uint32_t> record;
    const auto tree = grown(d, all_rows(d.n), params, seed, record);
    EXPECT_LE(tree.n_leaves(), *params.max_leaf_nodes);
    EXPECT_LE(tree.depth(), *params.max_depth);
    expect_node_floors(tree, all_rows(d.n), record, params);
    EXPECT_EQ(grown(d, all_rows(d.n), params, seed, record), tree);
  }
}

}  // namespace
}  // namespace korvane
