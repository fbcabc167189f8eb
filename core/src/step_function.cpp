#include "korvane/step_function.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <optional>
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
  return value_before(static_cast<std::uint32_t>(searchsorted_right(table, t)));
}

double StepCurve::value_before(std::uint32_t position) const {
  const auto it = std::partition_point(time_index.begin(), time_index.end(),
                                       [&](std::uint32_t index) { return index < position; });
  const auto k = static_cast<std::size_t>(it - time_index.begin());
  return k == 0 ? 0.0 : values[k - 1];
}

void StepCurves::push_back(const LeafCurve& curve) {
  if (curve.values.size() != curve.time_index.size()) {
    fail("a leaf curve has " + std::to_string(curve.time_index.size()) + " times but " +
         std::to_string(curve.values.size()) + " values");
  }
  if (table && curve.table != table) fail("the leaf curves of a tree index different tables");
  if (curve.values.size() > UINT32_MAX - values.size()) {
    fail("too many leaf curve points in a tree");
  }
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
bool before(double a, double b) { return a < b || (a == b && std::signbit(a) && !std::signbit(b)); }

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](double x, double y) {
    return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y);
  });
}

// The tables of the collections, each distinct content once, in first-seen
// order. Trees of one piece share their table, so contents are compared once
// per piece, not once per tree.
std::vector<TimeTable> distinct_tables(std::span<StepCurves* const> collections) {
  std::vector<TimeTable> pointers;
  for (const StepCurves* curves : collections) {
    const TimeTable& table = curves->table;
    if (table && std::find(pointers.begin(), pointers.end(), table) == pointers.end()) {
      pointers.push_back(table);
    }
  }
  std::vector<TimeTable> tables;
  for (const TimeTable& table : pointers) {
    const bool seen = std::any_of(tables.begin(), tables.end(),
                                  [&](const TimeTable& kept) { return same_bits(*kept, *table); });
    if (!seen) tables.push_back(table);
  }
  return tables;
}

TimeTable union_of(std::span<const TimeTable> tables) {
  std::vector<double> all;
  for (const TimeTable& table : tables) {
    std::vector<double> merged;
    merged.reserve(all.size() + table->size());
    std::set_union(all.begin(), all.end(), table->begin(), table->end(), std::back_inserter(merged),
                   before);
    all = std::move(merged);
  }
  return std::make_shared<const std::vector<double>>(std::move(all));
}

// Where each time of `from` is in `to`, which holds them all. Both ascend, so
// one walk finds every position.
std::vector<std::uint32_t> positions_in(const std::vector<double>& to,
                                        const std::vector<double>& from) {
  std::vector<std::uint32_t> position(from.size());
  std::size_t at = 0;
  for (std::size_t k = 0; k < from.size(); ++k) {
    while (before(to[at], from[k])) ++at;
    position[k] = static_cast<std::uint32_t>(at);
  }
  return position;
}

}  // namespace

void share_time_table(std::span<StepCurves* const> collections) {
  const std::vector<TimeTable> tables = distinct_tables(collections);
  if (tables.empty()) return;
  const TimeTable target = tables.size() == 1 ? tables.front() : union_of(tables);
  // The positions of the last table mapped (none: its times are the target's
  // own): a piece's trees come one after another.
  TimeTable mapped;
  std::optional<std::vector<std::uint32_t>> position;
  for (StepCurves* curves : collections) {
    if (curves->table && curves->table != target) {
      if (curves->table != mapped) {
        mapped = curves->table;
        position.reset();
        if (!same_bits(*mapped, *target)) position = positions_in(*target, *mapped);
      }
      if (position) {
        for (std::uint32_t& index : curves->time_index) index = (*position)[index];
      }
    }
    curves->table = target;
  }
}

}  // namespace korvane
