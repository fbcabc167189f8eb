#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "korvane/error.hpp"
#include "korvane/step_function.hpp"

namespace korvane {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(StepFunction, EmptyCurveIsZeroEverywhere) {
  const StepFunction curve = StepFunction::empty();
  for (const double t : {-kInf, 0.0, 5.0, kInf, kNaN}) EXPECT_EQ(curve.value_at(t), 0.0);
}

struct Probe {
  bool left_continuous;
  double t;
  double expected;
};

class StepFunctionAt : public ::testing::TestWithParam<Probe> {};

TEST_P(StepFunctionAt, EvaluatesAtJumpBoundaries) {
  StepFunction curve({1.0, 3.0}, {0.5, 0.75});
  curve.left_continuous = GetParam().left_continuous;
  EXPECT_EQ(curve.value_at(GetParam().t), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Curve, StepFunctionAt,
                         ::testing::Values(Probe{false, 0.99, 0.0}, Probe{false, 1.0, 0.5},
                                           Probe{false, 2.0, 0.5}, Probe{false, 3.0, 0.75},
                                           Probe{false, 100.0, 0.75}, Probe{false, kInf, 0.75},
                                           Probe{false, -kInf, 0.0}, Probe{false, kNaN, 0.75},
                                           Probe{true, 1.0, 0.0}, Probe{true, 3.0, 0.5},
                                           Probe{true, 3.5, 0.75}, Probe{true, kNaN, 0.0}));

TEST(StepFunction, SearchesPlaceTiesOnTheirSide) {
  const std::vector<double> times{1.0, 2.0, 2.0, 3.0};
  EXPECT_EQ(searchsorted_left(times, 2.0), 1u);
  EXPECT_EQ(searchsorted_right(times, 2.0), 3u);
  EXPECT_EQ(searchsorted_left(times, kNaN), 0u);
  EXPECT_EQ(searchsorted_right(times, kNaN), 4u);
}

// Curves of every length, the empty one first and between others, read back
// from the flat arrays as they went in, and evaluate as the curve does.
TEST(StepCurves, HoldEachLeafCurveAsAppended) {
  const std::vector<StepFunction> curves{
      StepFunction::empty(), StepFunction({1.0, 3.0}, {0.5, 0.75}), StepFunction::empty(),
      StepFunction({-0.0}, {2.0}), StepFunction({0.5, 1.5, 2.5}, {0.1, 0.2, 0.4})};
  StepCurves leaves;
  for (const StepFunction& curve : curves) leaves.push_back(curve);
  leaves.shrink_to_fit();
  ASSERT_EQ(leaves.size(), curves.size());
  EXPECT_EQ(leaves.n_points(), 6u);
  for (std::size_t leaf = 0; leaf < curves.size(); ++leaf) {
    const StepCurve curve = leaves[leaf];
    EXPECT_EQ(std::vector<double>(curve.times.begin(), curve.times.end()), curves[leaf].times);
    EXPECT_EQ(std::vector<double>(curve.values.begin(), curve.values.end()), curves[leaf].values);
    for (const double t : {-kInf, -0.0, 0.5, 1.0, 2.0, 3.0, kInf, kNaN}) {
      EXPECT_EQ(curve.value_at(t), curves[leaf].value_at(t)) << leaf << " " << t;
    }
  }
  EXPECT_TRUE(std::signbit(leaves[3].times[0]));
}

// A leaf holds a right-continuous curve from 0; anything else would be
// predicted and stored as if it were one.
TEST(StepCurves, RefuseCurvesALeafCannotHold) {
  StepFunction from_one({1.0}, {2.0});
  from_one.initial_value = 1.0;
  StepFunction from_minus_zero({1.0}, {2.0});
  from_minus_zero.initial_value = -0.0;
  StepFunction left_continuous({1.0}, {2.0});
  left_continuous.left_continuous = true;
  for (const StepFunction& curve :
       {from_one, from_minus_zero, left_continuous, StepFunction({1.0, 2.0}, {1.0})}) {
    StepCurves leaves;
    EXPECT_THROW(leaves.push_back(curve), InternalError);
    EXPECT_EQ(leaves.size(), 0u);
    EXPECT_EQ(leaves.n_points(), 0u);
  }
}

}  // namespace
}  // namespace korvane
