#include "korvane/step_function.hpp"

#include <algorithm>

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

}  // namespace korvane
