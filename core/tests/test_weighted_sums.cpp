#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "korvane/criteria/gradient.hpp"
#include "korvane/forest_weights.hpp"
#include "korvane/weighted_sums.hpp"
#include "support.hpp"

namespace korvane {
namespace {

using testing::Dataset;
using testing::forest_params;

constexpr std::size_t kColumns = 3;

struct Fixture {
  Dataset d = Dataset::random(80, 4, 6);
  std::vector<double> values;  // row-major n × kColumns
  Forest<NoPayload> forest;

  explicit Fixture(const ForestParams& params) {
    std::mt19937 gen(3);
    std::normal_distribution<double> normal;
    for (std::size_t i = 0; i < d.n * kColumns; ++i) values.push_back(normal(gen));
    forest = grow_forest(d.covariates(), GradientCriterion(d.time), NoLeaves{}, params, 4);
  }

  [[nodiscard]] MatrixView values_view() const {
    return {values.data(), d.n, kColumns, static_cast<std::ptrdiff_t>(kColumns), 1};
  }

  // weights (rows × n) times the values.
  [[nodiscard]] std::vector<double> product(std::span<const double> weights,
                                            std::size_t rows) const {
    std::vector<double> out(rows * kColumns, 0.0);
    for (std::size_t r = 0; r < rows; ++r) {
      for (std::size_t i = 0; i < d.n; ++i) {
        for (std::size_t j = 0; j < kColumns; ++j) {
          out[r * kColumns + j] += weights[r * d.n + i] * values[i * kColumns + j];
        }
      }
    }
    return out;
  }
};

void expect_near(const std::vector<double>& got, const std::vector<double>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t k = 0; k < got.size(); ++k) {
    if (std::isnan(want[k])) {
      EXPECT_TRUE(std::isnan(got[k])) << k;
    } else {
      EXPECT_NEAR(got[k], want[k], 1e-12) << k;
    }
  }
}

class WeightedSums : public ::testing::TestWithParam<bool> {
 protected:
  ForestParams params() const {
    ForestParams params = forest_params(6, GetParam(), GetParam() ? 1.0 : 0.4, 0.5);
    params.ci_group_size = GetParam() ? 1 : 2;
    return params;
  }
};

TEST_P(WeightedSums, EqualForestWeightsTimesValues) {
  const Fixture f(params());
  const MatrixView x = f.d.column_major();
  expect_near(weighted_sums(f.forest, x, f.values_view()),
              f.product(forest_weights(f.forest, x), f.d.n));
}

TEST_P(WeightedSums, OutOfBagEqualOutOfBagWeightsTimesValues) {
  const Fixture f(params());
  const MatrixView x = f.d.column_major();
  const auto weights = oob_forest_weights(f.forest, x);
  const std::vector<double> got = oob_weighted_sums(f.forest, x, f.values_view());
  const std::vector<double> want = f.product(weights, f.d.n);
  expect_near(got, want);
}

// Each tree's term is the mean of its reached leaf's values in ascending row
// order; the forest sums the terms in tree order and divides once. Checked to
// the last bit on more query rows than the trees descend at once.
TEST_P(WeightedSums, SumTheLeafMeansInTreeOrderBitForBit) {
  const Fixture f(params());
  const Dataset queries = Dataset::random(4100, 4, 7);
  const MatrixView x = queries.column_major();
  const auto got = weighted_sums(f.forest, x, f.values_view());
  for (std::size_t r = 0; r < queries.n; r += 1 + r / 8) {
    std::vector<double> want(kColumns, 0.0);
    for (std::size_t b = 0; b < f.forest.n_trees(); ++b) {
      const std::uint32_t leaf = f.forest.trees[b].predict_leaf(x, r);
      const auto recorded = testing::widened(f.forest.recorded_leaves(b));
      std::vector<double> mean(kColumns, 0.0);
      for (std::size_t i = 0; i < f.d.n; ++i) {
        if (recorded[i] != leaf) continue;
        for (std::size_t j = 0; j < kColumns; ++j) mean[j] += f.values[i * kColumns + j];
      }
      const std::uint32_t size = f.forest.leaf_sizes[b][leaf];
      for (std::size_t j = 0; j < kColumns; ++j) {
        want[j] += size == 0 ? 0.0 : mean[j] / static_cast<double>(size);
      }
    }
    for (std::size_t j = 0; j < kColumns; ++j) {
      want[j] /= static_cast<double>(f.forest.n_trees());
      EXPECT_EQ(std::bit_cast<std::uint64_t>(got[r * kColumns + j]),
                std::bit_cast<std::uint64_t>(want[j]))
          << r << ", " << j;
    }
  }
}

// The trees' terms one by one average to the forest's sums.
TEST_P(WeightedSums, TreeTermsAverageToTheForest) {
  const Fixture f(params());
  const MatrixView x = f.d.column_major();
  const std::vector<double> terms = tree_weighted_sums(f.forest, x, f.values_view());
  const std::size_t n_trees = f.forest.n_trees();
  std::vector<double> mean(f.d.n * kColumns, 0.0);
  for (std::size_t r = 0; r < f.d.n; ++r) {
    for (std::size_t b = 0; b < n_trees; ++b) {
      for (std::size_t j = 0; j < kColumns; ++j) {
        mean[r * kColumns + j] += terms[(r * n_trees + b) * kColumns + j];
      }
    }
    for (std::size_t j = 0; j < kColumns; ++j) {
      mean[r * kColumns + j] /= static_cast<double>(n_trees);
    }
  }
  expect_near(mean, weighted_sums(f.forest, x, f.values_view()));
}

INSTANTIATE_TEST_SUITE_P(Samplings, WeightedSums, ::testing::Bool());

TEST(WeightedSums, RefuseValuesOfAnotherRowCount) {
  const Fixture f(forest_params(2, true, 1.0));
  const MatrixView values{f.values.data(), f.d.n - 1, kColumns,
                          static_cast<std::ptrdiff_t>(kColumns), 1};
  EXPECT_THROW((void)weighted_sums(f.forest, f.d.column_major(), values), InternalError);
}

}  // namespace
}  // namespace korvane
