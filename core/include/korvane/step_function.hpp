#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace korvane {

// Number of leading entries e of an ascending sequence with e < t (0 for NaN).
[[nodiscard]] std::size_t searchsorted_left(std::span<const double> times, double t);
// Number of leading entries e for which e > t is false (the full length for NaN).
[[nodiscard]] std::size_t searchsorted_right(std::span<const double> times, double t);

// A piecewise-constant curve with jumps at strictly increasing times.
struct StepFunction {
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

}  // namespace korvane
