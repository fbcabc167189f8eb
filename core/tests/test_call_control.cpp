// Stop requests reach every long computation of the core, and a finished
// forest has counted every tree; the calling side of this is tested with the
// pool (test_pool.cpp) and through the extension.

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "korvane/call_control.hpp"
#include "korvane/criteria/gradient.hpp"
#include "korvane/forest.hpp"
#include "korvane/forest_weights.hpp"
#include "korvane/hazard.hpp"
#include "support.hpp"

namespace korvane {
namespace {

using testing::Dataset;

ForestParams small_forest(std::size_t n_trees) {
  ForestParams params;
  params.n_trees = n_trees;
  params.tree.min_samples_leaf = 3;
  return params;
}

const Dataset& data() {
  static const Dataset d = Dataset::random(200, 4, 9);
  return d;
}

const Forest<StepFunction>& forest() {
  static const auto f = grow_forest(data().covariates(), data().log_rank(), data().nelson_aalen(),
                                    small_forest(5), 3);
  return f;
}

struct StoppedCase {
  std::string name;
  std::function<void(const CallControl&)> call;
};

void PrintTo(const StoppedCase& c, std::ostream* os) { *os << c.name; }

class StoppedCall : public ::testing::TestWithParam<StoppedCase> {};

TEST_P(StoppedCall, ThrowsCancelled) {
  CallControl control;
  control.request_stop();
  EXPECT_THROW(GetParam().call(control), Cancelled);
}

INSTANTIATE_TEST_SUITE_P(
    Computations, StoppedCall,
    ::testing::Values(
        StoppedCase{"ranking", [](const CallControl& c) { Covariates(data().column_major(), c); }},
        StoppedCase{"log_rank_split_search",
                    [](const CallControl& c) {
                      const auto rows = testing::all_rows(data().n);
                      const std::vector<std::uint32_t> features{0, 1};
                      (void)data().log_rank().find_best_split(data().covariates(), rows, features,
                                                              1, c);
                    }},
        StoppedCase{"gradient_split_search",
                    [](const CallControl& c) {
                      const auto rows = testing::all_rows(data().n);
                      const std::vector<std::uint32_t> features{0, 1};
                      (void)GradientCriterion(data().time)
                          .find_best_split(data().covariates(), rows, features, 1, c);
                    }},
        StoppedCase{"tree",
                    [](const CallControl& c) {
                      (void)fit_tree(data().covariates(), data().log_rank(), data().nelson_aalen(),
                                     TreeParams{}, 1, c);
                    }},
        StoppedCase{"forest",
                    [](const CallControl& c) {
                      (void)grow_forest(data().covariates(), data().log_rank(),
                                        data().nelson_aalen(), small_forest(4), 1, c);
                    }},
        StoppedCase{"tree_hazard",
                    [](const CallControl& c) {
                      const std::vector<double> times{1.0, 5.0};
                      (void)predict_cumulative_hazard(forest().trees[0], data().column_major(),
                                                      times, c);
                    }},
        StoppedCase{"forest_hazard",
                    [](const CallControl& c) {
                      const std::vector<double> times{1.0, 5.0};
                      (void)predict_cumulative_hazard(forest(), data().column_major(), times, c);
                    }},
        StoppedCase{"forest_weights_of_one_row",
                    [](const CallControl& c) {
                      const VectorView row{data().x.data(), data().p,
                                           static_cast<std::ptrdiff_t>(data().n)};
                      (void)forest_weights(forest(), row, c);
                    }},
        StoppedCase{"forest_weights",
                    [](const CallControl& c) {
                      (void)forest_weights(forest(), data().column_major(), c);
                    }}),
    [](const auto& info) { return info.param.name; });

TEST(CallControl, AFinishedForestCountedEveryTreeAndMatchesOneGrownWithout) {
  CallControl control;
  const auto counted = grow_forest(data().covariates(), data().log_rank(), data().nelson_aalen(),
                                   small_forest(5), 3, control);
  EXPECT_EQ(control.trees_finished(), 5u);
  EXPECT_EQ(counted, forest());
}

}  // namespace
}  // namespace korvane
