// Fitted models compared with reference outputs computed independently of this
// code base (shared golden vectors, copied into tests/data/models.json).
#include <gtest/gtest.h>

#include <bit>
#include <span>

#include "korvane/builder.hpp"
#include "korvane/criteria/gradient.hpp"
#include "korvane/forest.hpp"
#include "korvane/forest_weights.hpp"
#include "korvane/hazard.hpp"
#include "support.hpp"

namespace korvane {
namespace {

struct Reference {
  nlohmann::json json = testing::load_json("models.json");
  testing::Dataset data =
      testing::Dataset::from_rows(json["X_rows"].get<std::vector<std::vector<double>>>(),
                                  json["event_time"].get<std::vector<double>>(),
                                  json["event_indicator"].get<std::vector<std::uint8_t>>());
  std::vector<double> queries = column_major(json["query_rows"]);
  std::vector<double> times = json["times"].get<std::vector<double>>();
  std::vector<double> pseudo_outcome = json["pseudo_outcome"].get<std::vector<double>>();

  [[nodiscard]] MatrixView query_view() const {
    const std::size_t n = json["query_rows"].size();
    return {queries.data(), n, data.p, 1, static_cast<std::ptrdiff_t>(n)};
  }
  [[nodiscard]] const nlohmann::json& expected(const std::string& name) const {
    for (const auto& c : json["cases"]) {
      if (c["name"] == name) return c;
    }
    throw std::runtime_error("no reference case " + name);
  }

 private:
  static std::vector<double> column_major(const nlohmann::json& rows) {
    return testing::Dataset::from_rows(rows.get<std::vector<std::vector<double>>>(), {}, {}).x;
  }
};

void expect_bits(std::span<const double> actual, const nlohmann::json& expected_rows) {
  std::vector<double> expected;
  for (const auto& row : expected_rows)
    for (const auto& v : row) expected.push_back(v.get<double>());
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(actual[i]), std::bit_cast<std::uint64_t>(expected[i]))
        << "entry " << i << ": " << actual[i] << " vs " << expected[i];
  }
}

TreeParams tree_params(std::size_t min_samples_leaf, MaxFeatures max_features,
                       std::optional<double> honesty) {
  TreeParams params;
  params.min_samples_leaf = min_samples_leaf;
  params.max_features = max_features;
  params.honesty = honesty;
  return params;
}

struct TreeCase {
  std::string name;
  TreeParams params;
  std::uint64_t seed;
};

class GoldenTree : public ::testing::TestWithParam<TreeCase> {};

TEST_P(GoldenTree, MatchesReference) {
  const Reference ref;
  const auto& expected = ref.expected(GetParam().name);
  const auto tree = fit_tree(ref.data.covariates(), ref.data.log_rank(), ref.data.nelson_aalen(),
                             GetParam().params, GetParam().seed);
  EXPECT_EQ(tree.n_nodes(), expected["n_nodes"].get<std::size_t>());
  EXPECT_EQ(tree.n_leaves(), expected["n_leaves"].get<std::size_t>());
  EXPECT_EQ(tree.depth(), expected["depth"].get<std::uint32_t>());
  expect_bits(predict_cumulative_hazard(tree, ref.query_view(), ref.times),
              expected["predict_cumulative_hazard"]);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GoldenTree,
    ::testing::Values(TreeCase{"tree_default", tree_params(3, MaxFeatures::all(), std::nullopt), 0},
                      TreeCase{"tree_honest_sqrt", tree_params(2, MaxFeatures::sqrt(), 0.5), 11}));

struct ForestCase {
  std::string name;
  ForestParams params;
  std::uint64_t seed;
};

ForestParams forest_params(std::size_t n_trees, TreeParams tree, bool bootstrap, double fraction) {
  return {tree, n_trees, bootstrap, fraction};
}

class GoldenForest : public ::testing::TestWithParam<ForestCase> {};

TEST_P(GoldenForest, MatchesReference) {
  const Reference ref;
  const auto& expected = ref.expected(GetParam().name);
  const auto check_weights = [&](const auto& forest) {
    EXPECT_EQ(forest.n_trees(), expected["n_trees"].get<std::size_t>());
    EXPECT_EQ(forest.n_train_samples, expected["n_train_samples"].get<std::size_t>());
    expect_bits(forest_weights(forest, ref.query_view()), expected["forest_weights"]);
  };
  if (GetParam().name == "gradient_forest") {
    check_weights(grow_forest(ref.data.covariates(), GradientCriterion(ref.pseudo_outcome),
                              NoLeaves{}, GetParam().params, GetParam().seed));
    return;
  }
  const auto forest = grow_forest(ref.data.covariates(), ref.data.log_rank(),
                                  ref.data.nelson_aalen(), GetParam().params, GetParam().seed);
  check_weights(forest);
  expect_bits(predict_cumulative_hazard(forest, ref.query_view(), ref.times),
              expected["predict_cumulative_hazard"]);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GoldenForest,
    ::testing::Values(
        ForestCase{"log_rank_forest",
                   forest_params(6, tree_params(3, MaxFeatures::sqrt(), std::nullopt), true, 1.0),
                   7},
        ForestCase{"log_rank_forest_honest_subsample",
                   forest_params(5, tree_params(2, MaxFeatures::fixed(2), 0.4), false, 0.7), 123},
        ForestCase{"gradient_forest",
                   forest_params(6, tree_params(2, MaxFeatures::sqrt(), 0.5), false, 0.5), 5}));

}  // namespace
}  // namespace korvane
