#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include <pthread.h>

#include "korvane/tree.hpp"
#include "support.hpp"

namespace korvane {
namespace {

using testing::all_rows;
using testing::Dataset;

TreeParams params_with(std::size_t min_samples_leaf, MaxFeatures max_features = MaxFeatures::all()) {
  TreeParams params;
  params.min_samples_leaf = min_samples_leaf;
  params.max_features = max_features;
  return params;
}

TEST(MaxFeatures, ResolvesIntoOneToP) {
  EXPECT_EQ(MaxFeatures::sqrt().resolve(1), 1u);
  EXPECT_EQ(MaxFeatures::sqrt().resolve(3), 1u);
  EXPECT_EQ(MaxFeatures::sqrt().resolve(9), 3u);
  EXPECT_EQ(MaxFeatures::sqrt().resolve(10), 3u);
  EXPECT_EQ(MaxFeatures::sqrt().resolve(24), 4u);
  EXPECT_EQ(MaxFeatures::all().resolve(7), 7u);
  EXPECT_EQ(MaxFeatures::fixed(0).resolve(7), 1u);
  EXPECT_EQ(MaxFeatures::fixed(9).resolve(7), 7u);
  EXPECT_EQ(MaxFeatures::sqrt().resolve(0), 0u);
}

TEST(Tree, NoColumnsGiveASingleLeaf) {
  Dataset d = Dataset::random(6, 1, 4);
  d.p = 0;
  const auto tree = fit<StepFunction>(d.data(), LogRankCriterion{}, params_with(1, MaxFeatures::sqrt()), 0);
  EXPECT_EQ(tree.n_nodes(), 1u);
  EXPECT_EQ(tree.n_features, 0u);
}

// The candidate features of `nodes` successive nodes over `p` features.
std::vector<std::vector<std::uint32_t>> sampled_features(std::size_t p, MaxFeatures max_features,
                                                         ChaCha8Rng& stream, int nodes) {
  const Dataset d = Dataset::random(10, p, 1);
  const LogRankCriterion criterion;
  const TreeParams params = params_with(1, max_features);
  TreeBuilder<StepFunction, LogRankCriterion> builder(d.data(), criterion, params, stream, std::nullopt);
  std::vector<std::vector<std::uint32_t>> drawn;
  for (int node = 0; node < nodes; ++node) drawn.push_back(builder.sample_features());
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

TEST(Partition, FollowsTheSwapProcedureAndSendsNaNRight) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<double> column{3, nan, 1, 2, 5, 2};
  const MatrixView x{column.data(), 6, 1, 1, 6};
  std::vector<std::uint32_t> rows{0, 1, 2, 3, 4, 5};
  EXPECT_EQ(partition(x, rows, 0, 2.0), 3u);
  EXPECT_EQ(rows, (std::vector<std::uint32_t>{5, 3, 2, 4, 1, 0}));
}

TEST(Shuffle, ConsumesOneDrawPerPositionAfterTheFirst) {
  std::vector<std::uint32_t> rows{0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  ChaCha8Rng stream = ChaCha8Rng::seed_from_u64(3);
  shuffle_in_place(rows, stream);
  const auto golden = testing::load_json("seeds_and_samples.json");
  EXPECT_EQ(rows, golden["shuffle_in_place_0_to_9_seed_from_u64_3"].get<std::vector<std::uint32_t>>());
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

TEST(Tree, RootSplitIsNumberedAfterItsLeaves) {
  const Dataset d = Dataset::four_events();
  const auto tree = fit<StepFunction>(d.data(), LogRankCriterion{}, params_with(2), 0);
  ASSERT_EQ(tree.n_nodes(), 3u);
  EXPECT_EQ(tree.root, 2u);
  EXPECT_EQ(tree.nodes[0], NodeKind(node::Leaf{0}));
  EXPECT_EQ(tree.nodes[1], NodeKind(node::Leaf{1}));
  EXPECT_EQ(tree.nodes[2], NodeKind(node::Split{0, 1.5, 0, 1}));
  EXPECT_EQ(tree.depth(), 1u);
  // The threshold value itself goes left; NaN goes right.
  const std::vector<double> queries{1.5, std::numeric_limits<double>::quiet_NaN()};
  EXPECT_EQ(tree.predict_leaf(MatrixView{queries.data(), 2, 1, 1, 2}, 0), 0u);
  EXPECT_EQ(tree.predict_leaf(MatrixView{queries.data(), 2, 1, 1, 2}, 1), 1u);
}

TEST(Tree, NoRowsGiveOneEmptyLeaf) {
  const Dataset d = Dataset::from_rows({}, {}, {});
  Dataset with_columns = d;
  with_columns.p = 2;
  const auto tree = fit<StepFunction>(with_columns.data(), LogRankCriterion{}, params_with(1), 0);
  EXPECT_EQ(tree.n_nodes(), 1u);
  EXPECT_EQ(tree.n_leaves(), 1u);
  EXPECT_EQ(tree.depth(), 0u);
  EXPECT_TRUE(tree.leaves[0].times.empty());
}

TEST(Tree, MaxDepthZeroIsASingleLeafWithoutDraws) {
  const Dataset d = Dataset::random(50, 4, 2);
  TreeParams params = params_with(1, MaxFeatures::sqrt());
  params.max_depth = 0;
  std::vector<std::uint32_t> rows = all_rows(50);
  ChaCha8Rng stream = ChaCha8Rng::seed_from_u64(9);
  const auto tree = fit_subset<StepFunction>(d.data(), rows, LogRankCriterion{}, params, stream);
  EXPECT_EQ(tree.n_nodes(), 1u);
  EXPECT_EQ(stream.words_consumed(), 0u);
}

// The midpoint of two neighbouring values can equal one of them or overflow;
// such a split must end in a leaf instead of repeating forever.
class InseparableNeighbours : public ::testing::TestWithParam<std::pair<double, double>> {};

TEST_P(InseparableNeighbours, EndInALeaf) {
  const auto [a, b] = GetParam();
  const Dataset d = Dataset::from_rows({{a}, {b}}, {1, 2}, {1, 1});
  const auto tree = fit<StepFunction>(d.data(), LogRankCriterion{}, params_with(0), 0);
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
    std::vector<std::uint32_t> rows = all_rows(d.n);
    std::vector<std::uint32_t> record(d.n, 0xFFFFFFFFu);
    ChaCha8Rng stream = ChaCha8Rng::seed_from_u64(seed);
    const auto tree =
        fit_subset_recording<StepFunction>(d.data(), rows, LogRankCriterion{}, params, stream, record);
    EXPECT_LE(tree.depth(), *params.max_depth);
    std::vector<std::size_t> leaf_rows(tree.n_leaves(), 0);
    for (const std::uint32_t leaf : record) {
      if (leaf != 0xFFFFFFFFu) ++leaf_rows[leaf];
    }
    if (tree.n_leaves() > 1) {
      for (const std::size_t count : leaf_rows) EXPECT_GE(count, params.min_samples_leaf);
    }
    // Identical seeds give identical trees; a row-major view gives the same tree.
    std::vector<double> row_major(d.n * d.p);
    for (std::size_t r = 0; r < d.n; ++r)
      for (std::size_t f = 0; f < d.p; ++f) row_major[r * d.p + f] = d.x[f * d.n + r];
    const SurvivalData transposed{MatrixView{row_major.data(), d.n, d.p, static_cast<std::ptrdiff_t>(d.p), 1},
                                  d.time, d.event};
    rows = all_rows(d.n);
    ChaCha8Rng again = ChaCha8Rng::seed_from_u64(seed);
    EXPECT_EQ(fit_subset<StepFunction>(transposed, rows, LogRankCriterion{}, params, again), tree);
  }
}

// A fit sorts value ranks instead of values; both criteria must grow exactly
// the trees they grow on the values (continuous values, ties, both zeros).
TEST(Tree, RankedFitEqualsFitOnTheValues) {
  Dataset d = Dataset::random(400, 4, 9);
  std::mt19937 gen(9);
  for (double& v : d.x) {
    v = gen() % 6 == 0 ? (gen() % 2 == 0 ? -0.0 : 0.0)
                       : std::ldexp(static_cast<double>(gen() % 20001) - 10000.0, -7);
  }
  for (double& t : d.time) t = std::ldexp(static_cast<double>(gen() % 5000), -6);
  std::vector<double> outcome(d.n);
  for (double& y : outcome) y = std::ldexp(static_cast<double>(gen() % 1000), -9);
  const TreeParams params = params_with(3, MaxFeatures::fixed(3));
  const auto on_values = [&]<class Payload>(const auto& criterion) {
    std::vector<std::uint32_t> rows = all_rows(d.n);
    ChaCha8Rng stream = ChaCha8Rng::seed_from_u64(5);
    return fit_subset<Payload>(d.data(), rows, criterion, params, stream);
  };
  const auto log_rank = fit<StepFunction>(d.data(), LogRankCriterion{}, params, 5);
  EXPECT_GT(log_rank.n_leaves(), 10u);
  EXPECT_EQ(log_rank, on_values.operator()<StepFunction>(LogRankCriterion{}));
  const auto gradient = fit<NoPayload>(d.data(), GradientCriterion(outcome), params, 5);
  EXPECT_GT(gradient.n_leaves(), 10u);
  EXPECT_EQ(gradient, on_values.operator()<NoPayload>(GradientCriterion(outcome)));
}

// With a constant pseudo-outcome every candidate scores 0 and the smallest
// threshold wins, so each split peels off one row: the tree is as deep as its
// row count and must still fit on a thread with a small stack.
TEST(Tree, VeryDeepTreeFitsOnASmallStack) {
  constexpr std::size_t n = 5000;
  std::vector<double> column(n), y(n, 0.0), time(n, 0.0);
  std::vector<std::uint8_t> event(n, 0);
  for (std::size_t i = 0; i < n; ++i) column[i] = static_cast<double>(i);
  struct Job {
    SurvivalData data;
    GradientCriterion criterion;
    Tree<NoPayload> tree;
  } job{{MatrixView{column.data(), n, 1, 1, static_cast<std::ptrdiff_t>(n)}, time, event},
        GradientCriterion(y),
        {}};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 512 * 1024);
  pthread_t thread;
  auto run = [](void* arg) -> void* {
    auto* job = static_cast<Job*>(arg);
    job->tree = fit<NoPayload>(job->data, job->criterion, params_with(1), 0);
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, run, &job), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  EXPECT_EQ(job.tree.depth(), n - 1);
  EXPECT_EQ(job.tree.n_leaves(), n);
}

// Sorted grids take a forward walk over each leaf's jumps; it must agree with
// evaluating every time on its own, ties, infinities and repeats included.
TEST(Tree, SortedAndUnsortedTimesPredictTheSameValues) {
  const Dataset d = Dataset::random(300, 3, 21);
  const auto tree = fit<StepFunction>(d.data(), LogRankCriterion{}, params_with(5), 0);
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<double> times{-inf, 0.0, 1.0, 1.0, 2.5, 3.0, 7.0, 7.0, 9.5, 30.0, inf};
  const auto hazard = predict_cumulative_hazard(tree, d.column_major(), times);
  for (std::size_t row = 0; row < d.n; ++row) {
    const StepFunction& curve = tree.leaves[tree.predict_leaf(d.column_major(), row)];
    for (std::size_t j = 0; j < times.size(); ++j) {
      EXPECT_EQ(hazard[row * times.size() + j], curve.at_with(times[j]));
    }
  }
}

TEST(Tree, PredictsTheLeafCurveAtEveryTime) {
  const Dataset d = Dataset::four_events();
  const auto tree = fit<StepFunction>(d.data(), LogRankCriterion{}, params_with(2), 0);
  const std::vector<double> query{0.0, 3.0};
  const std::vector<double> times{3.0, 1.0, 3.0};
  const auto hazard = predict_cumulative_hazard(tree, MatrixView{query.data(), 2, 1, 1, 2}, times);
  EXPECT_EQ(hazard, (std::vector<double>{1.5, 0.5, 1.5, 0.5, 0.0, 0.5}));
  EXPECT_TRUE(predict_cumulative_hazard(tree, MatrixView{query.data(), 2, 1, 1, 2}, {}).empty());
}

}  // namespace
}  // namespace korvane
