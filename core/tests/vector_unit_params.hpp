#pragma once

#include <gtest/gtest.h>

#include <string>

#include "korvane/vector_unit.hpp"

namespace korvane::testing {

// The units of this build as the types of a typed test, named by the unit.
template <class List>
struct TestTypesOf;
template <class... Units>
struct TestTypesOf<vector_units::List<Units...>> {
  using type = ::testing::Types<Units...>;
};
using VectorUnitTypes = TestTypesOf<VectorUnits>::type;

struct VectorUnitTypeName {
  template <class Unit>
  static std::string GetName(int) {
    return std::string(Unit::kName);
  }
};

// The units of this build as the values of a parametrised test, named by the
// unit.
inline auto every_vector_unit() { return ::testing::ValuesIn(kAllVectorUnits); }

inline std::string vector_unit_name(const ::testing::TestParamInfo<VectorUnit>& info) {
  return std::string(name_of(info.param));
}

}  // namespace korvane::testing
