#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <tuple>

#include "korvane/criteria/gradient.hpp"
#include "korvane/criteria/log_rank.hpp"
#include "korvane/forest_weights.hpp"
#include "korvane/in_bag.hpp"
#include "korvane/pool.hpp"
#include "korvane/sample_weights.hpp"
#include "support.hpp"

namespace korvane {
namespace {

using testing::Dataset;
using testing::forest_params;
using testing::log_rank_forest;
using testing::widened;

// The weights of one query row by the definition: a scan of every training row
// of every tree, increments (w_i / the weight recorded in the leaf, w = 1 when
// unweighted) summed in tree order, then one division.
template <class Payload>
std::vector<double> scanned_weights(const Forest<Payload>& forest, const MatrixView& x,
                                    std::size_t row) {
  std::vector<double> weights(forest.n_train_samples, 0.0);
  const auto weight_of = [&](std::size_t i) {
    return forest.sample_weight.empty() ? 1.0 : forest.sample_weight[i];
  };
  for (std::size_t b = 0; b < forest.n_trees(); ++b) {
    const std::uint32_t leaf = forest.trees[b].predict_leaf(x, row);
    const auto recorded = widened(forest.recorded_leaves(b));
    double total = 0.0;
    for (std::size_t i = 0; i < weights.size(); ++i)
      total += recorded[i] == leaf ? weight_of(i) : 0;
    if (total == 0) continue;
    for (std::size_t i = 0; i < weights.size(); ++i) {
      if (recorded[i] == leaf) weights[i] += weight_of(i) / total;
    }
  }
  for (double& w : weights) w /= static_cast<double>(forest.n_trees());
  return weights;
}

TEST(ForestWeights, FullSamplesGiveWeightsSummingToOne) {
  const Dataset d = Dataset::random(70, 4, 10);
  const auto forest = log_rank_forest(d, forest_params(5, false, 1.0), 3);
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
  const auto forest = grow_forest(d.covariates(), GradientCriterion(d.time), NoLeaves{},
                                  forest_params(1, true, 1.0), 6);
  const VectorView query{d.x.data(), 2, static_cast<std::ptrdiff_t>(d.n)};
  const std::uint32_t leaf = forest.trees[0].predict_leaf(d.column_major(), 0);
  const double share = 1.0 / forest.leaf_sizes[0][leaf];
  const auto w = forest_weights(forest, query);
  const auto recorded = widened(forest.recorded_leaves(0));
  for (std::size_t i = 0; i < d.n; ++i) {
    EXPECT_EQ(w[i], recorded[i] == leaf ? share : 0.0);
  }
}

// One way of growing the forests the weights are checked on.
struct Shape {
  const char* name;
  ForestParams params;
  bool weighted;
  bool missing;
};

// A log-rank forest of `shape` on random data (a tenth of the covariates
// missing when shape.missing, uneven whole and fractional weights when
// shape.weighted), and query rows like it.
struct ShapedForest {
  Dataset data = Dataset::random(90, 4, 21);
  std::vector<double> weight;
  Forest<StepFunction> forest;

  explicit ShapedForest(const Shape& shape) {
    std::mt19937 gen(22);
    if (shape.missing) {
      for (double& v : data.x) v = gen() % 10 == 0 ? std::nan("") : v;
    }
    if (shape.weighted) {
      for (std::size_t i = 0; i < data.n; ++i)
        weight.push_back(static_cast<double>(gen() % 4) * 0.7);
      const RowWeights rounded(weight);
      weight.assign(rounded.values().begin(), rounded.values().end());
    }
    const Covariates covariates(
        data.column_major(), CallControl{},
        shape.missing ? MissingValues::kIncorporated : MissingValues::kRefused);
    forest = grow_forest(covariates, LogRankCriterion(data.time, data.event, weight),
                         NelsonAalenLeaves{data.time, data.event, weight}, shape.params, 23,
                         CallControl{}, weight);
  }

  // n query rows like the training rows, NaN in the same share.
  [[nodiscard]] Dataset queries(std::size_t n, bool missing) const {
    Dataset q = Dataset::random(n, 4, 24);
    std::mt19937 gen(25);
    if (missing) {
      for (double& v : q.x) v = gen() % 10 == 0 ? std::nan("") : v;
    }
    return q;
  }
};

class ForestWeightsBatch
    : public ::testing::TestWithParam<std::tuple<Shape, std::size_t, std::size_t>> {};

// Whatever path a batch takes (a scan for a few rows, blocks of rows
// descending each tree together, chunks of rows beyond the first chunk) and
// however many threads share it, every weight has the bits of the definition,
// and a single row is a batch of one.
TEST_P(ForestWeightsBatch, EqualsTheScanBitForBit) {
  const auto& [shape, n_queries, n_threads] = GetParam();
  const ShapedForest shaped(shape);
  const auto& forest = shaped.forest;
  const std::size_t n = forest.n_train_samples;
  const Dataset queries = shaped.queries(n_queries, shape.missing);
  CallControl control;
  const auto batch = pool::run(
      n_threads, control, [] {}, [&] { return forest_weights(forest, queries.column_major()); });
  ASSERT_EQ(batch.size(), n_queries * n);
  const auto stride = static_cast<std::ptrdiff_t>(n_queries);
  for (std::size_t r = 0; r < n_queries; r += 1 + r / 16) {
    const auto scanned = scanned_weights(forest, queries.column_major(), r);
    ASSERT_EQ(0, std::memcmp(scanned.data(), batch.data() + r * n, n * sizeof(double))) << r;
    const auto single = forest_weights(forest, VectorView{queries.x.data() + r, 4, stride});
    ASSERT_EQ(0, std::memcmp(scanned.data(), single.data(), n * sizeof(double))) << r;
  }
}

const Shape kShapes[] = {
    {"bootstrap", forest_params(17, true, 1.0), false, false},
    {"subsample_honest", forest_params(17, false, 0.7, 0.4), false, false},
    {"bootstrap_honest_weighted", forest_params(17, true, 0.7, 0.5), true, false},
    {"subsample_missing", forest_params(17, false, 0.6), false, true},
    {"bootstrap_weighted_missing", forest_params(17, true, 1.0), true, true},
};

INSTANTIATE_TEST_SUITE_P(
    Shapes, ForestWeightsBatch,
    ::testing::Combine(::testing::ValuesIn(kShapes),
                       // a scan, one block, blocks with a short last one, two chunks
                       ::testing::Values(std::size_t{1}, std::size_t{3}, std::size_t{25},
                                         std::size_t{4100}),
                       ::testing::Values(std::size_t{1}, std::size_t{2})),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) + "_" +
             std::to_string(std::get<1>(info.param)) + "_rows_" +
             std::to_string(std::get<2>(info.param)) + "_threads";
    });

TEST(ForestWeights, NoQueryRowsGiveNoWeights) {
  const ShapedForest shaped(kShapes[0]);
  const Dataset queries = shaped.queries(4, false);
  EXPECT_TRUE(forest_weights(shaped.forest, MatrixView{queries.x.data(), 0, 4, 1, 0}).empty());
}

// Out-of-bag weights of training row i are the weights of x_i in the forest of
// only the trees that did not draw i.
TEST(ForestWeights, OutOfBagRowsEqualTheForestOfTheirOutOfBagTrees) {
  const Dataset d = Dataset::random(60, 3, 5);
  for (const auto& params : {forest_params(7, true, 1.0), forest_params(7, false, 0.5, 0.5)}) {
    const auto forest = log_rank_forest(d, params, 2);
    const auto drawn = in_bag(forest);
    const auto oob = oob_forest_weights(forest, d.column_major());
    for (std::size_t i = 0; i < d.n; ++i) {
      Forest<StepFunction> out_of_bag = forest;
      out_of_bag.trees.clear();
      out_of_bag.recorded_leaf.clear();
      out_of_bag.leaf_sizes.clear();
      for (std::size_t b = 0; b < forest.n_trees(); ++b) {
        if (drawn[b * d.n + i] != 0) continue;
        out_of_bag.trees.push_back(forest.trees[b]);
        out_of_bag.recorded_leaf.push_back(forest.recorded_leaves(b));
        out_of_bag.leaf_sizes.push_back(forest.leaf_sizes[b]);
      }
      const auto row = std::span(oob).subspan(i * d.n, d.n);
      if (out_of_bag.n_trees() == 0) {
        EXPECT_TRUE(std::all_of(row.begin(), row.end(), [](double w) { return std::isnan(w); }));
        continue;
      }
      const auto expected = scanned_weights(out_of_bag, d.column_major(), i);
      EXPECT_TRUE(std::equal(row.begin(), row.end(), expected.begin()));
    }
  }
}

}  // namespace
}  // namespace korvane
