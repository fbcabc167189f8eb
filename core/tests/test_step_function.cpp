#include <gtest/gtest.h>

#include <cmath>
#include <limits>

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

}  // namespace
}  // namespace korvane
