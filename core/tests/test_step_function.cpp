#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "korvane/error.hpp"
#include "korvane/step_function.hpp"
#include "support.hpp"

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

// The curves of the tests below, the empty one first and between others.
std::vector<StepFunction> some_curves() {
  return {StepFunction::empty(), StepFunction({1.0, 3.0}, {0.5, 0.75}), StepFunction::empty(),
          StepFunction({-0.0}, {2.0}), StepFunction({0.5, 1.5, 2.5}, {0.1, 0.2, 0.4})};
}

// One table holding every time of some_curves().
TimeTable some_table() {
  return std::make_shared<const std::vector<double>>(
      std::vector<double>{-0.0, 0.5, 1.0, 1.5, 2.5, 3.0, 4.0});
}

// Each time a curve could be asked about: its jump times, between them,
// before the first and after the last, the infinities and NaN.
std::vector<double> probes(const StepFunction& curve) {
  std::vector<double> at{-kInf, -1.0, -0.0, 0.0, 0.25, 100.0, kInf, kNaN};
  for (std::size_t k = 0; k < curve.times.size(); ++k) {
    at.push_back(curve.times[k]);
    at.push_back(std::nextafter(curve.times[k], -kInf));
    at.push_back(std::nextafter(curve.times[k], kInf));
    if (k + 1 < curve.times.size()) at.push_back((curve.times[k] + curve.times[k + 1]) / 2);
  }
  return at;
}

// A curve whose times are indices into a table answers every time as the curve
// keeping its times does, to the last bit.
class CurveOnTable : public ::testing::TestWithParam<std::size_t> {};

TEST_P(CurveOnTable, AnswersAsTheCurveOfItsTimes) {
  const StepFunction expected = some_curves()[GetParam()];
  StepCurves leaves;
  leaves.push_back(testing::on_table(expected, some_table()));
  for (const double t : probes(expected)) {
    EXPECT_EQ(leaves[0].value_at(t), expected.value_at(t)) << t;
  }
}

INSTANTIATE_TEST_SUITE_P(Curves, CurveOnTable, ::testing::Range(std::size_t{0}, std::size_t{5}));

// A table with zeros of both signs (as a fit with both keeps) still answers
// every time as the curves' own times do.
TEST(StepCurves, AnswerAsTheirTimesOnATableWithBothZeros) {
  const TimeTable table =
      std::make_shared<const std::vector<double>>(std::vector<double>{-1.0, -0.0, 0.0, 2.0});
  const std::vector<std::pair<LeafCurve, StepFunction>> cases{
      {{table, {1}, {1.0}}, StepFunction({-0.0}, {1.0})},
      {{table, {2}, {1.0}}, StepFunction({0.0}, {1.0})},
      {{table, {0, 2, 3}, {0.5, 1.0, 3.0}}, StepFunction({-1.0, 0.0, 2.0}, {0.5, 1.0, 3.0})}};
  for (const auto& [tabled, expected] : cases) {
    StepCurves leaves;
    leaves.push_back(tabled);
    for (const double t : probes(expected)) {
      EXPECT_EQ(leaves[0].value_at(t), expected.value_at(t)) << t;
    }
  }
}

// Curves read back from the flat arrays as they went in.
TEST(StepCurves, HoldEachLeafCurveAsAppended) {
  const std::vector<StepFunction> curves = some_curves();
  const TimeTable table = some_table();
  StepCurves leaves;
  for (const StepFunction& curve : curves) leaves.push_back(testing::on_table(curve, table));
  leaves.shrink_to_fit();
  ASSERT_EQ(leaves.size(), curves.size());
  EXPECT_EQ(leaves.n_points(), 6u);
  EXPECT_EQ(leaves.table, table);
  for (std::size_t leaf = 0; leaf < curves.size(); ++leaf) {
    EXPECT_EQ(testing::with_times(leaves[leaf]), curves[leaf]) << leaf;
  }
  EXPECT_TRUE(std::signbit(leaves[3].time(0)));
}

// A tree's curves index one table, and each point has a time and a value;
// anything else would be predicted and stored as if it did.
TEST(StepCurves, RefuseCurvesALeafCannotHold) {
  const TimeTable table = some_table();
  LeafCurve uneven{table, {0, 1}, {1.0}};
  const LeafCurve elsewhere = testing::on_own_table(StepFunction({1.0}, {2.0}));
  StepCurves leaves;
  leaves.push_back(testing::on_table(StepFunction({1.0}, {2.0}), table));
  for (const LeafCurve& curve : {uneven, elsewhere}) {
    EXPECT_THROW(leaves.push_back(curve), InternalError);
    EXPECT_EQ(leaves.size(), 1u);
    EXPECT_EQ(leaves.n_points(), 1u);
  }
}

// A table of the times of the curves.
TimeTable table_of(std::span<const StepFunction> curves) {
  std::vector<double> times;
  for (const StepFunction& curve : curves)
    times.insert(times.end(), curve.times.begin(), curve.times.end());
  std::sort(times.begin(), times.end());
  times.erase(std::unique(times.begin(), times.end()), times.end());
  return std::make_shared<const std::vector<double>>(std::move(times));
}

StepCurves on_one_table(std::span<const StepFunction> curves, const TimeTable& table) {
  StepCurves leaves;
  for (const StepFunction& curve : curves) leaves.push_back(testing::on_table(curve, table));
  return leaves;
}

// Curves are equal when their times and values are, whatever table holds them.
TEST(StepCurves, CompareTimesNotTables) {
  const std::vector<StepFunction> curves = some_curves();
  const StepCurves shared = on_one_table(curves, some_table());
  EXPECT_EQ(on_one_table(curves, table_of(curves)), shared);
  std::vector<double> later = *some_table();
  later[5] = 3.5;  // the second jump of curve 1
  EXPECT_NE(on_one_table(curves, std::make_shared<const std::vector<double>>(later)), shared);
}

// Collections sharing a table, and collections of different tables, end up
// holding one table with every curve as it was.
class SharedTable : public ::testing::TestWithParam<bool> {};

TEST_P(SharedTable, KeepsEveryCurve) {
  const bool equal_tables = GetParam();
  const std::vector<StepFunction> curves = some_curves();
  std::vector<StepCurves> trees;
  for (std::size_t b = 0; b < 3; ++b) {
    const std::span<const StepFunction> own = std::span(curves).subspan(b);
    trees.push_back(on_one_table(own, equal_tables ? some_table() : table_of(own)));
  }
  const std::vector<StepCurves> before = trees;
  const std::vector<StepCurves*> pointers{&trees[0], &trees[1], &trees[2]};
  share_time_table(pointers);
  for (std::size_t b = 0; b < trees.size(); ++b) {
    EXPECT_EQ(trees[b], before[b]) << b;
    EXPECT_EQ(trees[b].table, trees[0].table) << b;
    for (std::size_t leaf = 0; leaf < trees[b].size(); ++leaf) {
      for (const double t : probes(curves[b + leaf])) {
        EXPECT_EQ(trees[b][leaf].value_at(t), curves[b + leaf].value_at(t)) << b << " " << t;
      }
    }
  }
  // Equal tables are kept as they were; others make a table of every time.
  if (equal_tables) {
    EXPECT_EQ(trees[0].table, before[0].table);
  } else {
    EXPECT_EQ(*trees[0].table, *table_of(curves));
  }
}

INSTANTIATE_TEST_SUITE_P(Tables, SharedTable, ::testing::Bool());

// Tables that differ only in the sign of a zero are two tables, and their
// union keeps both zeros, so every curve keeps the bits of its times.
TEST(SharedTimeTable, KeepsZerosOfBothSigns) {
  const std::vector<StepFunction> negative{StepFunction({-0.0, 1.0}, {1.0, 2.0})};
  const std::vector<StepFunction> positive{StepFunction({0.0, 1.0}, {1.0, 2.0})};
  std::vector<StepCurves> trees{on_one_table(negative, table_of(negative)),
                                on_one_table(positive, table_of(positive))};
  share_time_table(std::vector<StepCurves*>{&trees[0], &trees[1]});
  ASSERT_EQ(trees[0].table, trees[1].table);
  EXPECT_EQ(trees[0].table->size(), 3u);
  EXPECT_TRUE(std::signbit(trees[0].time(0)));
  EXPECT_FALSE(std::signbit(trees[1].time(0)));
  EXPECT_EQ(trees[1].time(1), 1.0);
}

}  // namespace
}  // namespace korvane
