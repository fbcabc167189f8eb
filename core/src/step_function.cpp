#include "korvane/step_function.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <string>
#include <utility>

#include "korvane/error.hpp"

namespace korvane {

std::size_t searchsorted_left(std::span<const double> times, double t) {
  const auto it = std::partition_point(times.begin(), times.end(), [t](double e) { return e < t; });
  return static_cast<std::size_t>(it - times.begin());
}

std::size_t searchsorted_right(std::span<const double> times, double t) {
  const auto it =
      std::partition_point(times.begin(), times.end(), [t](double e) { return !(e > t); });
  return static_cast<std::size_t>(it - times.begin());
}

double StepFunction::value_at(double t) const {
  if (times.empty()) return initial_value;
  const std::size_t k =
      left_continuous ? searchsorted_left(times, t) : searchsorted_right(times, t);
  return k == 0 ? initial_value : values[k - 1];
}

double StepCurve::value_at(double t) const {
  const auto it = std::partition_point(time_index.begin(), time_index.end(),
                                       [&](std::uint32_t index) { return !(table[index] > t); });
  const auto k = static_cast<std::size_t>(it - time_index.begin());
  return k == 0 ? 0.0 : values[k - 1];
}

void StepCurves::push_back(const LeafCurve& curve) {
  if (curve.values.size() != curve.time_index.size()) {
    fail("a leaf curve has " + std::to_string(curve.time_index.size()) + " times but " +
         std::to_string(curve.values.size()) + " values");
  }
  if (table && curve.table != table) fail("the leaf curves of a tree index different tables");
  if (curve.values.size() > UINT32_MAX - values.size()) fail("too many leaf curve points in a tree");
  table = curve.table;
  time_index.insert(time_index.end(), curve.time_index.begin(), curve.time_index.end());
  values.insert(values.end(), curve.values.begin(), curve.values.end());
  offsets.push_back(static_cast<std::uint32_t>(values.size()));
}

void StepCurves::shrink_to_fit() {
  time_index.shrink_to_fit();
  values.shrink_to_fit();
  offsets.shrink_to_fit();
}

bool operator==(const StepCurves& a, const StepCurves& b) {
  if (a.offsets != b.offsets || a.values != b.values) return false;
  for (std::size_t k = 0; k < a.n_points(); ++k) {
    if (!(a.time(k) == b.time(k))) return false;
  }
  return true;
}

namespace {

// The order of a table's times (never NaN): -0.0 before 0.0, which tables keep
// apart, since a model keeps the bits of each curve's times.
bool before(double a, double b) {
  return a < b || (a == b && std::signbit(a) && !std::signbit(b));
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](double x, double y) {
    return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y);
  });
}

// The tables of the collections, each distinct content once, in first-seen order.
std::vector<TimeTable> distinct_tables(std::span<StepCurves* const> collections) {
  std::vector<TimeTable> tables;
  for (const StepCurves* curves : collections) {
    const TimeTable& table = curves->table;
    if (!table) continue;
    const bool seen = std::any_of(tables.begin(), tables.end(), [&](const TimeTable& kept) {
      return kept == table || same_bits(*kept, *table);
    });
    if (!seen) tables.push_back(table);
  }
  return tables;
}

TimeTable union_of(std::span<const TimeTable> tables) {
  std::vector<double> all;
  for (const TimeTable& table : tables) {
    std::vector<double> merged;
    merged.reserve(all.size() + table->size());
    std::set_union(all.begin(), all.end(), table->begin(), table->end(),
                   std::back_inserter(merged), before);
    all = std::move(merged);
  }
  return std::make_shared<const std::vector<double>>(std::move(all));
}

// Re-points the curves at `target`, which holds every time of theirs.
void move_to(StepCurves& curves, const TimeTable& target) {
  if (curves.table && curves.table != target && !same_bits(*curves.table, *target)) {
    const std::vector<double>& from = *curves.table;
    // Both tables ascend, so one walk finds every position.
    std::vector<std::uint32_t> position(from.size());
    std::size_t at = 0;
    for (std::size_t k = 0; k < from.size(); ++k) {
      while (before((*target)[at], from[k])) ++at;
      position[k] = static_cast<std::uint32_t>(at);
    }
    for (std::uint32_t& index : curves.time_index) index = position[index];
  }
  curves.table = target;
}

}  // namespace

void share_time_table(std::span<StepCurves* const> collections) {
  const std::vector<TimeTable> tables = distinct_tables(collections);
  if (tables.empty()) return;
  const TimeTable target = tables.size() == 1 ? tables.front() : union_of(tables);
  for (StepCurves* curves : collections) move_to(*curves, target);
}

}  // namespace korvane
