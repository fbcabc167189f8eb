#pragma once

#include <cstddef>
#include <cstdint>
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

// A right-continuous curve from 0, borrowed: a leaf's curve in its tree.
struct StepCurve {
  std::span<const double> times;
  std::span<const double> values;

  [[nodiscard]] double value_at(double t) const;
};

// The leaf curves of one tree in three arrays: leaf i jumps at
// times[offsets[i]] .. times[offsets[i + 1] - 1]. A forest at a million rows
// has some fifty thousand leaves per tree with a handful of jumps each, and
// two heap vectors per leaf cost more than the jumps themselves. Only curves
// a leaf can hold are stored: right-continuous from 0.
struct StepCurves {
  std::vector<double> times;
  std::vector<double> values;
  std::vector<std::uint32_t> offsets{0};
  // The heap of a tree's only leaf, with an empty curve: its two offsets.
  static constexpr std::size_t kOneLeafBytes = 2 * sizeof(std::uint32_t);

  [[nodiscard]] std::size_t size() const { return offsets.size() - 1; }
  [[nodiscard]] std::size_t n_points() const { return times.size(); }
  [[nodiscard]] StepCurve operator[](std::size_t leaf) const {
    const std::size_t first = offsets[leaf];
    const std::size_t count = offsets[leaf + 1] - first;
    return {std::span(times).subspan(first, count), std::span(values).subspan(first, count)};
  }

  // Appends a leaf's curve; throws InternalError for a curve that does not
  // start at 0 from the right, or past 2^32 - 1 points in all.
  void push_back(const StepFunction& curve);
  void reserve(std::size_t n_leaves) { offsets.reserve(n_leaves + 1); }
  // No leaves, capacity kept: a builder grows tree after tree in the same arrays.
  void clear() {
    times.clear();
    values.clear();
    offsets.assign(1, 0);
  }
  // Gives back what growing the arrays left unused: a fitted tree keeps them
  // for its lifetime.
  void shrink_to_fit();

  friend bool operator==(const StepCurves&, const StepCurves&) = default;
};

}  // namespace korvane
