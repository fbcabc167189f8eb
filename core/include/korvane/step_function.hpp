#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace korvane {

// Number of leading entries e of an ascending sequence with e < t (0 for NaN).
[[nodiscard]] std::size_t searchsorted_left(std::span<const double> times, double t);
// Number of leading entries e for which e > t is false (the full length for NaN).
[[nodiscard]] std::size_t searchsorted_right(std::span<const double> times, double t);

struct StepCurves;

// A piecewise-constant curve with jumps at strictly increasing times.
struct StepFunction {
  // How a tree keeps these as leaf payloads (Tree<StepFunction>::leaves).
  using Collection = StepCurves;

  std::vector<double> times;
  std::vector<double> values;
  double initial_value = 0.0;
  bool left_continuous = false;

  // A right-continuous curve starting at 0.0; the caller guarantees the invariants.
  StepFunction(std::vector<double> jump_times, std::vector<double> jump_values)
      : times(std::move(jump_times)), values(std::move(jump_values)) {}
  StepFunction() = default;
  [[nodiscard]] static StepFunction empty() { return {}; }

  [[nodiscard]] double value_at(double t) const;

  friend bool operator==(const StepFunction&, const StepFunction&) = default;
};

// The distinct times leaf curves jump at, ascending, -0.0 before 0.0 (no
// comparison tells them apart, but a model keeps the bits of each curve's
// times): every jump of a leaf curve is at a training time, so the trees of a
// forest share one table.
using TimeTable = std::shared_ptr<const std::vector<double>>;

// A right-continuous curve from 0 as a leaf estimate emits it: jump k at
// (*table)[time_index[k]], the indices strictly increasing.
struct LeafCurve {
  TimeTable table;
  std::vector<std::uint32_t> time_index;
  std::vector<double> values;
};

// A right-continuous curve from 0, borrowed: a leaf's curve in its tree.
struct StepCurve {
  std::span<const std::uint32_t> time_index;
  std::span<const double> values;
  std::span<const double> table;

  [[nodiscard]] std::size_t size() const { return values.size(); }
  [[nodiscard]] double time(std::size_t k) const { return table[time_index[k]]; }
  // The value at t, as a curve keeping its times answers it.
  [[nodiscard]] double value_at(double t) const;
  // The value after the jumps at table indices below `position`. With
  // position = searchsorted_right(table, t), that is the value at t: the
  // table ascends (its two zeros, if any, compare equal), so a jump at index
  // i is at or before t exactly when i < position, NaN after every jump.
  [[nodiscard]] double value_before(std::uint32_t position) const;
};

// The leaf curves of one tree in three arrays: leaf i jumps at
// time_index[offsets[i]] .. time_index[offsets[i + 1] - 1] of the table. A
// forest at a million rows has some fifty thousand leaves per tree with a
// handful of jumps each, and two heap vectors per leaf cost more than the
// jumps themselves; a 4-byte index per jump instead of its 8-byte time saves a
// quarter of what is left, the table being shared. Only curves a leaf can
// hold are stored: right-continuous from 0.
struct StepCurves {
  TimeTable table;  // none until a curve is appended
  std::vector<std::uint32_t> time_index;
  std::vector<double> values;
  std::vector<std::uint32_t> offsets{0};
  // The heap of a tree's only leaf, with an empty curve: its two offsets.
  static constexpr std::size_t kOneLeafBytes = 2 * sizeof(std::uint32_t);

  [[nodiscard]] std::size_t size() const { return offsets.size() - 1; }
  [[nodiscard]] std::size_t n_points() const { return values.size(); }
  [[nodiscard]] double time(std::size_t point) const { return (*table)[time_index[point]]; }
  [[nodiscard]] StepCurve operator[](std::size_t leaf) const {
    const std::size_t first = offsets[leaf];
    const std::size_t count = offsets[leaf + 1] - first;
    return {std::span(time_index).subspan(first, count), std::span(values).subspan(first, count),
            table ? std::span<const double>(*table) : std::span<const double>()};
  }

  // Appends a leaf's curve; throws InternalError for a curve whose lengths
  // differ or whose table is not the one of the curves before it, or past
  // 2^32 - 1 points in all.
  void push_back(const LeafCurve& curve);
  void reserve(std::size_t n_leaves) { offsets.reserve(n_leaves + 1); }
  // No leaves, capacity kept: a builder grows tree after tree in the same arrays.
  void clear() {
    table.reset();
    time_index.clear();
    values.clear();
    offsets.assign(1, 0);
  }
  // Gives back what growing the arrays left unused: a fitted tree keeps them
  // for its lifetime.
  void shrink_to_fit();

  // The same curves: the same times, not the same table.
  friend bool operator==(const StepCurves& a, const StepCurves& b);
};

// Has the collections hold one table: the one they hold when all their
// tables are equal, otherwise the union of their tables, each collection's
// indices mapped into it. Pieces of a forest joined into one then keep one
// table, not one each.
void share_time_table(std::span<StepCurves* const> collections);

}  // namespace korvane
