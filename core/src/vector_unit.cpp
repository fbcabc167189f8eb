#include "korvane/vector_unit.hpp"

namespace korvane {

namespace {

constexpr auto kAvailable = per_unit([]<class Unit>() { return &Unit::available; });
constexpr auto kNames = per_unit([]<class Unit>() { return Unit::kName; });

std::size_t index_of(VectorUnit unit) { return static_cast<std::size_t>(unit); }

static_assert(kAllVectorUnits.back() == kVectorUnit<vector_units::Baseline>,
              "the last unit must be one every processor has");

}  // namespace

bool supports(VectorUnit unit) {
  return index_of(unit) < kVectorUnits && kAvailable[index_of(unit)]();
}

VectorUnit widest_vector_unit() {
  // The list runs widest first and ends with the baseline, which every
  // processor has.
  static const VectorUnit unit = [] {
    for (const VectorUnit candidate : kAllVectorUnits) {
      if (supports(candidate)) return candidate;
    }
    return kVectorUnit<vector_units::Baseline>;
  }();
  return unit;
}

std::string_view name_of(VectorUnit unit) {
  return index_of(unit) < kVectorUnits ? kNames[index_of(unit)] : "unknown";
}

}  // namespace korvane
