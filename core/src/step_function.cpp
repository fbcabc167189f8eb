#include "korvane/step_function.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

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
  const std::size_t k = searchsorted_right(times, t);
  return k == 0 ? 0.0 : values[k - 1];
}

void StepCurves::push_back(const StepFunction& curve) {
  if (curve.initial_value != 0.0 || std::signbit(curve.initial_value) || curve.left_continuous ||
      curve.values.size() != curve.times.size()) {
    fail("a leaf curve must start at 0 from the right");
  }
  if (curve.times.size() > UINT32_MAX - times.size()) fail("too many leaf curve points in a tree");
  times.insert(times.end(), curve.times.begin(), curve.times.end());
  values.insert(values.end(), curve.values.begin(), curve.values.end());
  offsets.push_back(static_cast<std::uint32_t>(times.size()));
}

void StepCurves::shrink_to_fit() {
  times.shrink_to_fit();
  values.shrink_to_fit();
  offsets.shrink_to_fit();
}

}  // namespace korvane
