#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string_view>
#include <vector>

#include "korvane/vector_unit.hpp"
#include "vector_unit_params.hpp"

namespace korvane {
namespace {

double scaled_sum(const std::vector<double>& values, double& total, double factor) {
  for (const double v : values) total += v * factor;
  return total;
}

template <class Unit>
class VectorUnitEntry : public ::testing::Test {};
TYPED_TEST_SUITE(VectorUnitEntry, testing::VectorUnitTypes, testing::VectorUnitTypeName);

// The value, the name and the processor check of a unit are its list entry's.
TYPED_TEST(VectorUnitEntry, TablesFollowTheList) {
  constexpr VectorUnit unit = kVectorUnit<TypeParam>;
  EXPECT_EQ(kAllVectorUnits[static_cast<std::size_t>(unit)], unit);
  EXPECT_EQ(name_of(unit), TypeParam::kName);
  EXPECT_EQ(supports(unit), TypeParam::available());
}

// A function run compiled for the unit gets its arguments as declared (the
// reference is the caller's) and returns its result.
TYPED_TEST(VectorUnitEntry, CallPassesArgumentsAndResult) {
  if (!TypeParam::available()) GTEST_SKIP() << "this processor lacks " << TypeParam::kName;
  const std::vector<double> values{1.5, 2.0, -0.25};
  double total = 1.0;
  double (*const compiled)(const std::vector<double>&, double&, double) =
      &TypeParam::template call<&scaled_sum>;
  const double result = compiled(values, total, 2.0);
  EXPECT_EQ(result, 7.5);
  EXPECT_EQ(total, 7.5);
}

// The dispatch takes the first unit of the list the processor has; the list
// ends with the baseline, which every processor has.
TEST(VectorUnit, WidestIsTheFirstSupportedOfTheList) {
  const auto first = std::find_if(kAllVectorUnits.begin(), kAllVectorUnits.end(),
                                  [](VectorUnit unit) { return supports(unit); });
  ASSERT_NE(first, kAllVectorUnits.end());
  EXPECT_EQ(widest_vector_unit(), *first);
  EXPECT_EQ(kAllVectorUnits.back(), kVectorUnit<vector_units::Baseline>);
  EXPECT_TRUE(supports(kVectorUnit<vector_units::Baseline>));
}

TEST(VectorUnit, NamesAreDistinctAndOnlyUnitsHaveOne) {
  std::set<std::string_view> names;
  for (const VectorUnit unit : kAllVectorUnits) names.insert(name_of(unit));
  EXPECT_EQ(names.size(), kVectorUnits);
  EXPECT_FALSE(names.contains("unknown"));
  for (const auto unit : {static_cast<VectorUnit>(kVectorUnits), static_cast<VectorUnit>(255)}) {
    EXPECT_FALSE(supports(unit));
    EXPECT_EQ(name_of(unit), "unknown");
  }
}

}  // namespace
}  // namespace korvane
